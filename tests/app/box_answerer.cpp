// Answers modal message boxes on behalf of a test.
#include "box_answerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <utility>

namespace zenkalo::test {

BoxAnswerer::BoxAnswerer(QString pressLabel) : pressLabel_(std::move(pressLabel)) {
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, &BoxAnswerer::poll);
    timer_.start();
}

void BoxAnswerer::poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
        if (--attemptsLeft_ <= 0) {
            timer_.stop();
        }
        return;
    }
    timer_.stop();
    seen_.shown = true;
    seen_.caption = box->windowTitle();
    seen_.text = box->text();
    seen_.icon = box->icon();

    QAbstractButton* press = nullptr;
    for (QAbstractButton* button : box->buttons()) {
        seen_.buttons << button->text();
        if (button->text() == pressLabel_) {
            press = button;
        }
    }
    if (press != nullptr) {
        press->click();
    } else {
        // Never leave a test hanging on a box it did not expect.
        box->reject();
    }
}

}  // namespace zenkalo::test

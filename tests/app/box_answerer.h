// Answers the next modal message box for a test: waits for it, notes what it
// showed, and presses the button with the given label.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace zenkalo::test {

struct SeenBox {
    bool shown = false;
    QString caption;
    QString text;
    QStringList buttons;  // labels, in no particular order
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

class BoxAnswerer : public QObject {
    Q_OBJECT

public:
    // Starts waiting at once; the box may appear later from a running handler.
    explicit BoxAnswerer(QString pressLabel);

    const SeenBox& seen() const { return seen_; }

private:
    void poll();

    QString pressLabel_;
    SeenBox seen_;
    QTimer timer_;
    int attemptsLeft_ = 500;
};

}  // namespace zenkalo::test

// The program's start and end.
#include "app/program.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QFont>
#include <QTextStream>

#include "app/about_window.h"
#include "app/filter_window.h"
#include "app/main_window.h"
#include "app/maintenance_window.h"
#include "app/message_box.h"
#include "app/picture_window.h"
#include "app/resources.h"
#include "app/search_window.h"
#include "platform/clock.h"

namespace zenkalo {

void installFontSubstitutions() {
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Balthazar"), {QStringLiteral("Liberation Serif"),
                                                             QStringLiteral("DejaVu Serif")});
    QFont::insertSubstitutions(
        QStringLiteral("Times New Roman"),
        {QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")});
}

bool applyVisualStyle(QApplication& app, const QString& name) {
    ensureResources();
    QFile sheet(QStringLiteral(":/styles/%1.qss").arg(name));
    if (!sheet.open(QIODevice::ReadOnly)) {
        showError(nullptr, QStringLiteral("Style '%1' not found").arg(name));
        return false;
    }
    app.setStyleSheet(QString::fromUtf8(sheet.readAll()));
    return true;
}

template <typename Window, typename... Args>
std::unique_ptr<Window> Program::create(Args&... args) {
    auto window = std::make_unique<Window>(args...);
    windows_.push_back(window.get());
    return window;
}

Program::Program(QApplication& app, const QString& styleName) : app_(app) {
    installFontSubstitutions();
    applyVisualStyle(app_, styleName);
    // The name, not the display name: Qt appends a display name to every
    // window's caption, and the captions are to stay as they are.
    QCoreApplication::setApplicationName(kApplicationTitle);

    form1_ = create<TForm1>();
    // The later windows work on the main window's table through its data source.
    form2_ = create<TForm2>(*form1_);
    form5_ = create<TForm5>(*form1_);
    form6_ = create<TForm6>(*form1_);
    form7_ = create<TForm7>();
    form8_ = create<TForm8>();
    form1_->attachWindows(form2_.get(), form5_.get(), form6_.get(), form7_.get());
    form5_->attachFilterWindow(form6_.get());
    form7_->attachPictureWindow(form8_.get());
}

Program::~Program() {
    form8_.reset();
    form7_.reset();
    form6_.reset();
    form5_.reset();
    form2_.reset();
    form1_.reset();
}

int Program::run() {
    form1_->show();
    return app_.exec();
}

namespace {

// Ends the loop after the first paint of the window it watches: the window and its children
// are painted in one pass, and the call queued behind it runs once that pass is on screen.
class FirstPaintWatcher : public QObject {
public:
    explicit FirstPaintWatcher(QTextStream& report) : report_(report) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    report_ << "startup-time: " << tdb::platform::ProcessAgeMs() << " ms\n";
                    report_.flush();
                    QCoreApplication::exit(0);
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTextStream& report_;
    bool seen_ = false;
};

}  // namespace

int Program::runToFirstScreen(QTextStream& report) {
    FirstPaintWatcher watcher(report);
    form1_->installEventFilter(&watcher);
    const int result = run();
    form1_->removeEventFilter(&watcher);
    return result;
}

}  // namespace zenkalo

// The program's start and end.
#include "app/program.h"

#include <QApplication>
#include <QFile>
#include <QFont>

#include "app/about_window.h"
#include "app/filter_window.h"
#include "app/main_window.h"
#include "app/maintenance_window.h"
#include "app/message_box.h"
#include "app/picture_window.h"
#include "app/resources.h"
#include "app/search_window.h"

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

}  // namespace zenkalo

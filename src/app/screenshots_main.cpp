// Takes a picture of every window of the program, as the user sees it on the sample table, for
// the help document: zenkalo_screenshots DATABASE_DIRECTORY OUTPUT_DIRECTORY.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QWidget>
#include <iostream>

#include "app/about_window.h"
#include "app/application.h"
#include "app/filter_window.h"
#include "app/main_window.h"
#include "app/maintenance_window.h"
#include "app/picture_window.h"
#include "app/program.h"
#include "app/search_window.h"

namespace {

void settle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// Shows the window, lets Prepare fill it as a user would, and saves its picture.
template <typename Prepare>
bool shoot(QWidget& window, const QDir& out, const QString& name, Prepare&& prepare) {
    window.show();
    settle(200);
    prepare();
    settle(400);
    const QString path = out.filePath(name);
    const bool saved = window.grab().save(path, "PNG");
    if (!saved)
        std::cerr << "zenkalo_screenshots: cannot write " << path.toStdString() << '\n';
    window.hide();
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: zenkalo_screenshots DATABASE_DIRECTORY OUTPUT_DIRECTORY\n";
        return 2;
    }
    zenkalo::Application app(argc, argv);
    const QDir out(QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[2])));
    if (!QDir().mkpath(out.path()) || !QDir::setCurrent(QString::fromLocal8Bit(argv[1]))) {
        std::cerr << "zenkalo_screenshots: no such directory\n";
        return 1;
    }
    zenkalo::Program program(app);
    bool ok = true;
    zenkalo::TForm1& form1 = program.form1();
    form1.show();
    settle(400);
    ok = form1.grab().save(out.filePath(QStringLiteral("foablak.png")), "PNG") && ok;

    const auto nothing = [] {};
    ok = shoot(program.form5(), out, QStringLiteral("kereses.png"),
               [&] { program.form5().searchText().setText(QStringLiteral("Buda")); }) &&
         ok;

    zenkalo::TForm6& form6 = program.form6();
    ok = shoot(form6, out, QStringLiteral("szures.png"),
               [&] {
                   form6.fieldBox(0).setEditText(QStringLiteral("Település"));
                   form6.operatorBox(0).setEditText(QStringLiteral("="));
                   form6.valueBox(0).setText(QStringLiteral("Buda*"));
                   QFocusEvent leave(QEvent::FocusOut);
                   QApplication::sendEvent(&form6.valueBox(0), &leave);
               }) &&
         ok;

    ok = shoot(program.form2(), out, QStringLiteral("karbantartas.png"), nothing) && ok;
    ok = shoot(program.form7(), out, QStringLiteral("nevjegy.png"), nothing) && ok;
    ok = shoot(program.form8(), out, QStringLiteral("kep.png"), nothing) && ok;
    return ok ? 0 : 1;
}

// The main window: its menu and hints, its layout, the windows it opens, and
// the confirmation when it is closed.
#include "app/main_window.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include "app/about_window.h"
#include "app/filter_window.h"
#include "app/maintenance_window.h"
#include "app/search_window.h"
#include "box_answerer.h"
#include "dataset/tdb_database.h"
#include "dataset/tdb_table.h"
#include "sample_database.h"
#include "suites.h"

namespace zenkalo::test {
namespace {

const QString kExitHint = QStringLiteral("Program használatának befejezése !");
const QString kExitQuestion = QStringLiteral("Biztosan be kívánja fejezni a program használatát ?");

QAction* findAction(const QWidget& window, const char* name) {
    return window.findChild<QAction*>(QLatin1String(name));
}

// One line per menu entry: depth, name, caption, tool tip, status tip; "—" for separators.
void describeMenu(const QList<QAction*>& actions, int depth, QStringList& out) {
    for (const QAction* action : actions) {
        if (action->isSeparator()) {
            out << QStringLiteral("%1 —").arg(depth);
            continue;
        }
        out << QStringLiteral("%1 %2 \"%3\" tip \"%4\" status \"%5\"")
                   .arg(depth)
                   .arg(action->objectName(), action->text(), action->toolTip(),
                        action->statusTip());
        if (action->menu() != nullptr) {
            describeMenu(action->menu()->actions(), depth + 1, out);
        }
    }
}

QString entry(int depth, const char* name, const QString& caption, const QString& hint) {
    return QStringLiteral("%1 %2 \"%3\" tip \"%4\" status \"%5\"")
        .arg(depth)
        .arg(QLatin1String(name), caption, hint, hint);
}

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void menuTreeHasItsNamesCaptionsSeparatorsAndHints() {
        TForm1 form;
        QStringList actual;
        describeMenu(form.menuBar()->actions(), 0, actual);
        const QString separator1 = QStringLiteral("1 —");
        const QStringList expected = {
            entry(0, "Mveletek1", QStringLiteral("Műveletek"),
                  QStringLiteral("Program eljárásai !")),
            entry(1, "Adatkarbantarts1", QStringLiteral("Adatkarbantartás"),
                  QStringLiteral("Adatok karbantartása !")),
            separator1,
            entry(1, "Keress1", QStringLiteral("Keresés"), QStringLiteral("Adatok keresése !")),
            separator1,
            entry(1, "Szrs1", QStringLiteral("Szűrés"),
                  QStringLiteral("Megjelenítendő adatok szűrése !")),
            entry(0, "Informci1", QStringLiteral("Információ"),
                  QStringLiteral("Programmal kapcsolatos információk !")),
            entry(1, "Lers1", QStringLiteral("Leírás"),
                  QStringLiteral("Program használatának leírása !")),
            separator1,
            entry(1, "Frissts1", QStringLiteral("Frissítés"),
                  QStringLiteral("Frissítés keresése (internet kapcsolat szükséges) !")),
            entry(2, "Keress3", QStringLiteral("Keresés"),
                  QStringLiteral("Újabb verzió keresése, letöltése és telepítése !")),
            separator1,
            entry(1, "Nvjegy1", QStringLiteral("Névjegy"),
                  QStringLiteral("Program bemutatkozása !")),
            entry(0, "Keress2", QStringLiteral("Kilépés"), kExitHint),
            entry(1, "Befejezs1", QStringLiteral("Befejezés"), kExitHint),
        };
        QCOMPARE(actual, expected);

        for (const char* name : {"Mveletek1", "Informci1", "Frissts1", "Keress2"}) {
            QVERIFY2(findAction(form, name)->menu()->toolTipsVisible(), name);
        }
    }

    void hoveringAnItemShowsItsLongHintInTheStatusLine_data() {
        QTest::addColumn<QStringList>("path");  // menus opened on the way, then the item
        QTest::addColumn<QString>("statusText");
        QTest::newRow("Keresés") << QStringList{"Mveletek1", "Keress1"}
                                 << QStringLiteral("Adatok keresése !");
        QTest::newRow("Szűrés") << QStringList{"Mveletek1", "Szrs1"}
                                << QStringLiteral("Megjelenítendő adatok szűrése !");
        QTest::newRow("submenu item")
            << QStringList{"Informci1", "Frissts1", "Keress3"}
            << QStringLiteral("Újabb verzió keresése, letöltése és telepítése !");
        QTest::newRow("Befejezés") << QStringList{"Keress2", "Befejezs1"} << kExitHint;
    }

    void hoveringAnItemShowsItsLongHintInTheStatusLine() {
        QFETCH(QStringList, path);
        QFETCH(QString, statusText);
        TForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        QMenuBar* bar = form.menuBar();
        QAction* top = findAction(form, qPrintable(path.first()));
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(top).center());
        QMenu* menu = top->menu();
        QTRY_VERIFY(menu->isVisible());
        for (qsizetype i = 1; i < path.size(); ++i) {
            QAction* item = findAction(form, qPrintable(path[i]));
            QTest::mouseMove(menu, menu->actionGeometry(item).center());
            if (item->menu() != nullptr) {
                QTRY_VERIFY(item->menu()->isVisible());
                menu = item->menu();
            }
        }
        QTRY_COMPARE(form.statusBar()->currentMessage(), statusText);

        // Leaving the menu takes the hint away again.
        QTest::keyClick(menu, Qt::Key_Escape);
        bar->setActiveAction(nullptr);
        QTRY_VERIFY(!top->menu()->isVisible());
        QTRY_COMPARE(form.statusBar()->currentMessage(), QString());
    }

    void clientAreaIsFixedWithPictureTitleAndStatusLine() {
        TForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        const int menuHeight = form.menuBar()->height();
        QVERIFY(menuHeight > 0);
        QCOMPARE(form.size(), QSize(537, 333 + menuHeight));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QCOMPARE(form.statusBar()->geometry(), QRect(0, menuHeight + 314, 537, 19));
        QCOMPARE(form.windowTitle(), QStringLiteral("Zenkalo V2.0.0.0"));

        const Qt::WindowFlags flags = form.windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

        const auto* picture = form.findChild<QLabel*>(QStringLiteral("Image1"));
        QVERIFY(picture != nullptr);
        QCOMPARE(picture->geometry(), QRect(8, 8, 521, 298));
        QVERIFY(picture->hasScaledContents());
        // The picture comes from the resources linked into the program.
        QVERIFY(!picture->pixmap().isNull());

        const auto* title = form.findChild<QLabel*>(QStringLiteral("Label1"));
        QVERIFY(title != nullptr);
        QCOMPARE(title->text(), QStringLiteral("Zenkalo V2.0.0.0"));
        QCOMPARE(title->geometry(), QRect(307, 280, 217, 19));
        QVERIFY(title->font().bold());
        QCOMPARE(title->font().pixelSize(), 16);

        // Silver around the picture; the title lies over the picture, not in a box of its own.
        const QImage shot = form.grab().toImage();
        QCOMPARE(QColor(shot.pixel(3, menuHeight + 3)), QColor(0xC0, 0xC0, 0xC0));
        QVERIFY(!title->autoFillBackground());
    }

    void fontsNamedByTheWindowResolveToInstalledOnes() {
        TForm1 form;
        QCOMPARE(form.font().pixelSize(), 11);
        QCOMPARE(QFontInfo(form.font()).family(), QStringLiteral("Liberation Sans"));
        const auto* title = form.findChild<QLabel*>(QStringLiteral("Label1"));
        QCOMPARE(QFontInfo(title->font()).family(), QStringLiteral("Liberation Serif"));
    }

    void databaseLocationIsTheWorkingDirectoryAtCreation() {
        const QString before = QDir::currentPath();
        QTemporaryDir elsewhere;
        QVERIFY(elsewhere.isValid());
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        TForm1 form;
        QVERIFY(QDir::setCurrent(before));

        QCOMPARE(QFileInfo(form.databaseLocation()).canonicalFilePath(),
                 QFileInfo(elsewhere.path()).canonicalFilePath());
    }

    void menuItemsOpenTheirWindowsModally_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("window");
        QTest::newRow("Adatkarbantartás") << "Adatkarbantarts1"
                                          << "Form2";
        QTest::newRow("Keresés") << "Keress1"
                                 << "Form5";
        QTest::newRow("Szűrés") << "Szrs1"
                                << "Form6";
        QTest::newRow("Névjegy") << "Nvjegy1"
                                 << "Form7";
    }

    void menuItemsOpenTheirWindowsModally() {
        QFETCH(QString, item);
        QFETCH(QString, window);
        TForm1 form;
        TForm2 form2(form);
        TForm5 form5(form);
        TForm6 form6(form);
        TForm7 form7;
        form.attachWindows(&form2, &form5, &form6, &form7);

        QString shownModally;
        QTimer::singleShot(0, &form, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal != nullptr) {
                shownModally = modal->objectName();
                modal->close();
            }
        });
        findAction(form, qPrintable(item))->trigger();
        QCOMPARE(shownModally, window);
        QVERIFY(!form2.isVisible() && !form5.isVisible() && !form6.isVisible() &&
                !form7.isVisible());
    }

    void closingAsksAndNoKeepsTheWindow() {
        TForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        BoxAnswerer answerer(QStringLiteral("&Nem"));
        form.windowHandle()->close();
        checkExitBox(answerer.seen());
        QVERIFY(form.isVisible());
        QCOMPARE(form.statusBar()->currentMessage(), kExitHint);
    }

    void closingAsksAndYesClosesTheWindow() {
        TForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        BoxAnswerer answerer(QStringLiteral("&Igen"));
        form.windowHandle()->close();
        checkExitBox(answerer.seen());
        QVERIFY(!form.isVisible());
        QCOMPARE(form.statusBar()->currentMessage(), QString());
        QVERIFY(!form.Table1().Active());
    }

    void showingTheWindowOpensTable1OnTheSettlementIndex() {
        TForm1 form;
        QVERIFY(!form.TdbDatabase1().Connected());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        dataset::TTdbTable& table = form.Table1();
        QVERIFY(table.Active());
        QVERIFY(form.TdbDatabase1().Connected());
        QCOMPARE(table.IndexName(), std::u16string(u"TELEP"));
        QCOMPARE(table.RecordCount(), kSampleRecords);
        QCOMPARE(QString::fromStdU16String(table.FieldByName(u"TELEP").AsString()),
                 QStringLiteral("Aba"));
        QCOMPARE(form.DataSource1().DataSet(), &table);
        QCOMPARE(table.Version(), std::u16string(u"6.1.8/8.1.2"));
    }

    void aFailedOpenShowsTheErrorAndKeepsTheWindow() {
        const QString before = QDir::currentPath();
        QTemporaryDir empty;
        QVERIFY(empty.isValid());
        QVERIFY(QDir::setCurrent(empty.path()));
        TForm1 form;
        QVERIFY(QDir::setCurrent(before));

        BoxAnswerer answerer(QStringLiteral("OK"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_VERIFY(answerer.seen().shown);
        QVERIFY2(answerer.seen().text.startsWith(QStringLiteral("Opening table \"Irsz\": ")),
                 qPrintable(answerer.seen().text));
        QVERIFY(form.isVisible());
        QVERIFY(!form.Table1().Active());
    }

private:
    static void checkExitBox(const SeenBox& box) {
        QVERIFY(box.shown);
        QCOMPARE(box.text, kExitQuestion);
        QCOMPARE(box.caption, QStringLiteral("Program vége:"));
        QStringList buttons = box.buttons;
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"&Igen", "&Nem"}));
        QCOMPARE(box.icon, QMessageBox::Question);
    }
};

}  // namespace

std::unique_ptr<QObject> makeMainWindowTest() {
    return std::make_unique<MainWindowTest>();
}

}  // namespace zenkalo::test

#include "main_window_test.moc"

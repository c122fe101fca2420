// The program's start and end: the style, the windows in their order, and the
// two roads out of the message loop.
#include "app/program.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <QTextStream>
#include <QWindow>

#include "app/about_window.h"
#include "app/filter_window.h"
#include "app/main_window.h"
#include "app/maintenance_window.h"
#include "app/picture_window.h"
#include "app/search_window.h"
#include "box_answerer.h"
#include "dataset/tdb_table.h"
#include "suites.h"

namespace zenkalo::test {
namespace {

const QString kExitHint = QStringLiteral("Program használatának befejezése !");

// Counts the close requests a window receives, whoever sends them.
class CloseCounter : public QObject {
public:
    int closes = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            ++closes;
        }
        return QObject::eventFilter(watched, event);
    }
};

// Ends a message loop that the code under test failed to end, so that a
// fault shows as a wrong exit code instead of a test that never returns.
class LoopGuard {
public:
    LoopGuard() {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        timer_.start(10000);
    }

private:
    QTimer timer_;
};

void trigger(const Program& program, const char* name) {
    program.form1().findChild<QAction*>(QLatin1String(name))->trigger();
}

class ProgramTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { qApp->setStyleSheet(QString()); }

    void startCreatesEveryWindowHiddenInOrder() {
        Program program(*qApp);
        QStringList created;
        for (const QWidget* window : program.windows()) {
            created << QStringLiteral("%1 %2").arg(QLatin1String(window->metaObject()->className()),
                                                   window->objectName());
            QVERIFY2(window->isHidden(), qPrintable(window->objectName()));
        }
        QCOMPARE(created, (QStringList{"zenkalo::TForm1 Form1", "zenkalo::TForm2 Form2",
                                       "zenkalo::TForm5 Form5", "zenkalo::TForm6 Form6",
                                       "zenkalo::TForm7 Form7", "zenkalo::TForm8 Form8"}));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Zenkalo"));
    }

    void styleFromTheResourcesIsApplied() {
        Program program(*qApp);
        QFile sheet(QStringLiteral(":/styles/Iceberg Classico.qss"));
        QVERIFY(sheet.open(QIODevice::ReadOnly));
        QVERIFY(!qApp->styleSheet().isEmpty());
        QCOMPARE(qApp->styleSheet(), QString::fromUtf8(sheet.readAll()));
    }

    void missingStyleIsReportedAndStartGoesOn() {
        BoxAnswerer answerer(QStringLiteral("OK"));
        Program program(*qApp, QStringLiteral("Nordic Frost"));
        QVERIFY(answerer.seen().shown);
        QCOMPARE(answerer.seen().text, QStringLiteral("Style 'Nordic Frost' not found"));
        QCOMPARE(answerer.seen().icon, QMessageBox::Critical);
        QCOMPARE(qApp->styleSheet(), QString());
        QCOMPARE(program.windows().size(), std::size_t{6});
    }

    void windowsHaveTheirCaptionsSizesAndButtons_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QSize>("clientSize");
        QTest::addColumn<bool>("minimize");
        QTest::addColumn<bool>("frameless");
        QTest::newRow("Form2") << 1 << " Adatok Karbantartása:" << QSize(395, 277) << true << false;
        QTest::newRow("Form5") << 2 << " Adatok keresése:" << QSize(395, 277) << true << false;
        QTest::newRow("Form6") << 3 << " Megjelenítendő adatok szűrése:" << QSize(541, 265) << true
                               << false;
        QTest::newRow("Form7") << 4 << " Névjegy:" << QSize(296, 388) << false << false;
        QTest::newRow("Form8") << 5 << "" << QSize(145, 153) << false << true;
    }

    void windowsHaveTheirCaptionsSizesAndButtons() {
        QFETCH(int, index);
        QFETCH(QString, caption);
        QFETCH(QSize, clientSize);
        QFETCH(bool, minimize);
        QFETCH(bool, frameless);
        Program program(*qApp);
        QWidget& window = *program.windows().at(static_cast<std::size_t>(index));
        QCOMPARE(window.windowTitle(), caption);
        QCOMPARE(window.minimumSize(), clientSize);
        QCOMPARE(window.maximumSize(), clientSize);
        const Qt::WindowFlags flags = window.windowFlags();
        QCOMPARE(flags.testFlag(Qt::FramelessWindowHint), frameless);
        QCOMPARE(flags.testFlag(Qt::WindowMinimizeButtonHint), minimize);
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), clientSize);
        window.hide();
    }

    void menuExitWithYesEndsTheLoopWithoutTheCloseHandler() {
        Program program(*qApp);
        CloseCounter counter;
        program.form1().installEventFilter(&counter);
        LoopGuard guard;
        BoxAnswerer answerer(QStringLiteral("&Igen"));
        QTimer::singleShot(0, &program.form1(), [&] { trigger(program, "Befejezs1"); });

        QCOMPARE(program.run(), 0);
        QVERIFY(answerer.seen().shown);
        QCOMPARE(answerer.seen().text,
                 QStringLiteral("Biztosan be kívánja fejezni a program használatát ?"));
        QCOMPARE(answerer.seen().caption, QStringLiteral("Program vége:"));
        QCOMPARE(counter.closes, 0);
        QVERIFY(program.form1().isVisible());
        QCOMPARE(program.form1().statusBar()->currentMessage(), QString());
    }

    void menuExitWithNoKeepsTheLoopRunning() {
        Program program(*qApp);
        LoopGuard guard;
        BoxAnswerer answerer(QStringLiteral("&Nem"));
        QString statusAfter = QStringLiteral("not run");
        QTimer::singleShot(0, &program.form1(), [&] {
            trigger(program, "Befejezs1");
            statusAfter = program.form1().statusBar()->currentMessage();
            // Had the handler asked the loop to end, it would end before this runs.
            QTimer::singleShot(0, &program.form1(), [] { QCoreApplication::exit(7); });
        });

        QCOMPARE(program.run(), 7);
        QVERIFY(answerer.seen().shown);
        QCOMPARE(statusAfter, QString());
        QVERIFY(program.form1().isVisible());
    }

    void aStartupRunEndsAtTheFirstScreenWithTheTableOpen() {
        Program program(*qApp);
        LoopGuard guard;
        QString report;
        QTextStream stream(&report);

        QCOMPARE(program.runToFirstScreen(stream), 0);
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^startup-time: (\\d+) ms\n$")).match(report);
        QVERIFY2(match.hasMatch(), qPrintable(report));
        QVERIFY(match.captured(1).toLongLong() > 0);
        QVERIFY(program.form1().Table1().Active());
        QVERIFY(program.form1().isVisible());
    }

    void closingTheMainWindowWithYesEndsTheProgram() {
        Program program(*qApp);
        LoopGuard guard;
        BoxAnswerer answerer(QStringLiteral("&Igen"));
        QTimer::singleShot(0, &program.form1(), [&] { program.form1().windowHandle()->close(); });

        QCOMPARE(program.run(), 0);
        QVERIFY(answerer.seen().shown);
        QVERIFY(!program.form1().isVisible());
    }
};

}  // namespace

std::unique_ptr<QObject> makeProgramTest() {
    return std::make_unique<ProgramTest>();
}

}  // namespace zenkalo::test

#include "program_test.moc"

// The update hand-off and the help document: the uuencoded information file, starting the updater
// and ending the program, and the message when the help document cannot be opened.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/main_window.h"
#include "app/shell.h"
#include "app/update_handoff.h"
#include "app/uu_encoder.h"
#include "box_answerer.h"
#include "suites.h"

namespace zenkalo::test {
namespace {

// Decodes what the encoder wrote, written apart from it: each character less 32, the fill
// character being 0.
QByteArray uudecode(const QByteArray& line) {
    auto value = [](char c) { return c == '`' ? 0 : (static_cast<unsigned char>(c) - 32) & 63; };
    const int length = value(line.at(0));
    QByteArray out;
    for (int i = 1; i + 3 < line.size() && out.size() < length; i += 4) {
        const int c0 = value(line.at(i));
        const int c1 = value(line.at(i + 1));
        const int c2 = value(line.at(i + 2));
        const int c3 = value(line.at(i + 3));
        out.append(static_cast<char>(c0 << 2 | c1 >> 4));
        out.append(static_cast<char>((c1 & 15) << 4 | c2 >> 2));
        out.append(static_cast<char>((c2 & 3) << 6 | c3));
    }
    out.truncate(length);
    return out;
}

// Runs the test in a scratch working directory with a shell that only notes what it was asked.
class TScratch {
public:
    TScratch() : before_(QDir::currentPath()), saved_(shell()) {
        QDir::setCurrent(dir_.path());
        shell().openUrl = [this](const QUrl& address) {
            opened = address.toLocalFile();
            return openAnswer;
        };
        shell().startProgram = [this](const QString& program, const QStringList& arguments) {
            started = program;
            startedWith = arguments;
            return false;
        };
    }
    ~TScratch() {
        shell() = saved_;
        QDir::setCurrent(before_);
    }
    QString path(const QString& name) const { return dir_.filePath(name); }

    QString opened;
    bool openAnswer = true;
    QString started;
    QStringList startedWith;

private:
    QTemporaryDir dir_;
    QString before_;
    TShell saved_;
};

void trigger(const TForm1& form, const char* name) {
    form.findChild<QAction*>(QLatin1String(name))->trigger();
}

class HandOffTest : public QObject {
    Q_OBJECT

private slots:
    void encodesGroupsOfThreeIntoFourCharacters_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("three bytes") << QByteArray("Cat") << QByteArray("#0V%T");
        QTest::newRow("one byte left") << QByteArray("A") << QByteArray("!00``");
        QTest::newRow("two bytes left") << QByteArray("AB") << QByteArray("\"04(`");
        QTest::newRow("zero bits fill") << QByteArray("\0\0\0", 3) << QByteArray("#````");
    }

    void encodesGroupsOfThreeIntoFourCharacters() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, encoded);
        QCOMPARE(QByteArray::fromStdString(TUUEncoder('`').encode(bytes.toStdString())), encoded);
    }

    void aLineOf25CharactersBecomes37() {
        const QString line = QStringLiteral("PROGRAM NAME    : Zenkalo");
        QCOMPARE(line.size(), 25);
        const QByteArray encoded =
            QByteArray::fromStdString(encodeUpdateInfoLine(line, TUUEncoder('`')));
        QCOMPARE(encoded.size(), 37);
        QCOMPARE(encoded.at(0), static_cast<char>(32 + 25));
        QVERIFY(encoded.endsWith("``"));
        QCOMPARE(uudecode(encoded), line.toLatin1());
    }

    void longTextsSplitIntoLinesOf63Bytes() {
        const std::string bytes(70, 'x');
        const QByteArray encoded = QByteArray::fromStdString(TUUEncoder('`').encode(bytes));
        const QList<QByteArray> lines = encoded.split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].endsWith('\r'));
        QCOMPARE(lines[0].at(0), '_');
        QCOMPARE(uudecode(lines[0].chopped(1)) + uudecode(lines[1]), QByteArray(70, 'x'));
    }

    void charactersBeyondLatin1BecomeQuestionMarks() {
        const QByteArray encoded =
            QByteArray::fromStdString(encodeUpdateInfoLine(QStringLiteral("ő é"), TUUEncoder('`')));
        QCOMPARE(uudecode(encoded), QByteArray("? \xE9"));
    }

    void theHandOffReplacesTheFileStartsTheUpdaterAndEndsTheProgram() {
        TScratch scratch;
        {
            QFile old(scratch.path(kUpdateInfoFile));
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(4000, 'z'));
        }
        TForm1 form;
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        QTimer::singleShot(0, &form, [&] { trigger(form, "Keress3"); });
        QCOMPARE(qApp->exec(), 0);

        QFile file(scratch.path(kUpdateInfoFile));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith("\r\n"));
        const QList<QByteArray> lines = content.chopped(2).split('\n');
        const QStringList expected = updateInfoLines();
        QCOMPARE(lines.size(), 12);
        QCOMPARE(expected.size(), 12);
        QCOMPARE(expected[0], QStringLiteral("PROGRAM NAME    : Zenkalo"));
        QCOMPARE(expected[5], QStringLiteral("AFTER RUN       : Vomtar.exe"));
        QCOMPARE(expected[11], QStringLiteral("PROXY TYPE      : Nil"));
        for (int i = 0; i < 12; ++i) {
            const QByteArray line = i < 11 ? lines[i].chopped(1) : lines[i];
            QCOMPARE(uudecode(line), expected[i].toLatin1());
        }
        QCOMPARE(QFileInfo(scratch.started).fileName(), kUpdaterProgram);
        QCOMPARE(scratch.startedWith, QStringList{kUpdateInfoFile});
    }

    void anInformationFileThatCannotBeWrittenStopsTheHandOff() {
        TScratch scratch;
        QVERIFY(QDir().mkdir(scratch.path(kUpdateInfoFile)));
        TForm1 form;
        BoxAnswerer answerer(QStringLiteral("OK"));
        trigger(form, "Keress3");
        QVERIFY(answerer.seen().shown);
        QVERIFY2(answerer.seen().text.contains(QStringLiteral("update.nfo cannot be written: ")),
                 qPrintable(answerer.seen().text));
        QVERIFY(scratch.started.isEmpty());
    }

    void aMissingHelpDocumentIsReported() {
        TScratch scratch;
        TForm1 form;
        BoxAnswerer answerer(QStringLiteral("OK"));
        trigger(form, "Lers1");
        QVERIFY(answerer.seen().shown);
        QCOMPARE(answerer.seen().caption, QStringLiteral("Hiba történt:"));
        QCOMPARE(answerer.seen().text,
                 QStringLiteral("Leírás.pdf állomány nem található vagy nincs telepítve "
                                "Acrobat olvasó program !!!"));
        QVERIFY(scratch.opened.isEmpty());
    }

    void theHelpDocumentOpensThroughTheDesktop() {
        TScratch scratch;
        QFile document(scratch.path(QStringLiteral("Leírás.pdf")));
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.close();
        TForm1 form;
        trigger(form, "Lers1");
        QCOMPARE(QFileInfo(scratch.opened).fileName(), QStringLiteral("Leírás.pdf"));

        scratch.openAnswer = false;
        BoxAnswerer answerer(QStringLiteral("OK"));
        trigger(form, "Lers1");
        QVERIFY(answerer.seen().shown);
        QCOMPARE(answerer.seen().caption, QStringLiteral("Hiba történt:"));
    }
};

}  // namespace

std::unique_ptr<QObject> makeHandOffTest() {
    return std::make_unique<HandOffTest>();
}

}  // namespace zenkalo::test

#include "handoff_test.moc"

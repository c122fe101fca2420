// The "short|long" hint convention and where each part ends up.
#include "app/hint.h"

#include <QAction>
#include <QLabel>
#include <QTest>

#include "suites.h"

namespace zenkalo::test {
namespace {

class HintTest : public QObject {
    Q_OBJECT

private slots:
    void splitsAtFirstBar_data() {
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("shortPart");
        QTest::addColumn<QString>("longPart");
        QTest::newRow("both parts")
            << QStringLiteral("Szűrés|Megjelenített adatok szűrése !") << QStringLiteral("Szűrés")
            << QStringLiteral("Megjelenített adatok szűrése !");
        QTest::newRow("no bar serves as both")
            << QStringLiteral("Program eljárásai !") << QStringLiteral("Program eljárásai !")
            << QStringLiteral("Program eljárásai !");
        QTest::newRow("empty") << QString() << QString() << QString();
        QTest::newRow("later bars stay in the long part")
            << QStringLiteral("a|b|c") << QStringLiteral("a") << QStringLiteral("b|c");
        QTest::newRow("only a long part")
            << QStringLiteral("|hosszú") << QString() << QStringLiteral("hosszú");
        QTest::newRow("only a short part")
            << QStringLiteral("rövid|") << QStringLiteral("rövid") << QString();
    }

    void splitsAtFirstBar() {
        QFETCH(QString, hint);
        QFETCH(QString, shortPart);
        QFETCH(QString, longPart);
        const Hint parts = splitHint(hint);
        QCOMPARE(parts.shortPart, shortPart);
        QCOMPARE(parts.longPart, longPart);
    }

    void shortPartIsToolTipLongPartIsStatusTip() {
        QAction action;
        applyHint(action, QStringLiteral("E-mail küldése|E-mail küldése a szerzőnek !"));
        QCOMPARE(action.toolTip(), QStringLiteral("E-mail küldése"));
        QCOMPARE(action.statusTip(), QStringLiteral("E-mail küldése a szerzőnek !"));

        QLabel label;
        applyHint(label, QStringLiteral("Cím behívása|Cím behívása böngésző programba !"));
        QCOMPARE(label.toolTip(), QStringLiteral("Cím behívása"));
        QCOMPARE(label.statusTip(), QStringLiteral("Cím behívása böngésző programba !"));
    }
};

}  // namespace

std::unique_ptr<QObject> makeHintTest() {
    return std::make_unique<HintTest>();
}

}  // namespace zenkalo::test

#include "hint_test.moc"

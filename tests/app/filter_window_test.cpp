// The filter builder: the condition line each row makes, the box rebuilt as the focus moves
// through the rows, and "Beállít" and "Alaphelyzet" on the sample table.
#include "app/filter_window.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "app/main_window.h"
#include "box_answerer.h"
#include "dataset/tdb_table.h"
#include "sample_database.h"
#include "suites.h"
#include "widgets.h"

namespace zenkalo::test {
namespace {

void leave(QWidget& control) {
    QFocusEvent out(QEvent::FocusOut);
    QApplication::sendEvent(&control, &out);
}

class FilterWindowTest : public QObject {
    Q_OBJECT

private slots:
    void eachRowMakesOneConditionLine_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("connective");
        QTest::addColumn<QString>("line");
        QTest::newRow("a listed field") << "Település"
                                        << "="
                                        << "abc"
                                        << ""
                                        << "TELEP = 'abc' ";
        QTest::newRow("with a connective") << " Irányító szám "
                                           << ">="
                                           << " 1000 "
                                           << "And"
                                           << "IRSZ >= '1000' And";
        QTest::newRow("a typed field") << "abc"
                                       << "<>"
                                       << "x"
                                       << ""
                                       << "'abc' <> 'x' ";
        QTest::newRow("an empty value") << "Telefon körzet"
                                        << "="
                                        << "  "
                                        << ""
                                        << "TELK = '' ";
        QTest::newRow("a typed operator") << "Település"
                                          << "=~"
                                          << "a"
                                          << ""
                                          << "TELEP =~ 'a' ";
        QTest::newRow("a typed connective") << "Település"
                                            << "="
                                            << "a"
                                            << "Nem"
                                            << "TELEP = 'a' 'Nem'";
        QTest::newRow("a quote in the value") << "Település"
                                              << "="
                                              << "O'Brien"
                                              << ""
                                              << "TELEP = 'O''Brien' ";
        QTest::newRow("case counts") << "település"
                                     << "="
                                     << "a"
                                     << "and"
                                     << "'település' = 'a' 'and'";
        QTest::newRow("an empty row") << ""
                                      << ""
                                      << ""
                                      << ""
                                      << "";
    }

    void eachRowMakesOneConditionLine() {
        QFETCH(QString, field);
        QFETCH(QString, op);
        QFETCH(QString, value);
        QFETCH(QString, connective);
        QFETCH(QString, line);
        QCOMPARE(conditionLine({field, op, value, connective}), line);
    }

    void init() {
        form1_ = std::make_unique<TForm1>();
        form1_->Table1().Open();
        form6_ = std::make_unique<TForm6>(*form1_);
        form6_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form6_.get()));
    }
    void cleanup() {
        form6_.reset();
        form1_.reset();
    }

    void leavingARowControlRebuildsTheBox() {
        form6_->fieldBox(0).setEditText(QStringLiteral("Település"));
        form6_->operatorBox(0).setEditText(QStringLiteral("="));
        form6_->valueBox(0).setText(QStringLiteral("Abaúj*"));
        form6_->connectiveBox(0).setEditText(QStringLiteral("Or"));
        form6_->fieldBox(2).setEditText(QStringLiteral("Irányító szám"));
        form6_->operatorBox(2).setEditText(QStringLiteral("<"));
        form6_->valueBox(2).setText(QStringLiteral("1012"));
        leave(form6_->valueBox(2));
        QCOMPARE(form6_->conditionBox().toPlainText(),
                 QStringLiteral("TELEP = 'Abaúj*' Or\nIRSZ < '1012' "));

        child<QRadioButton>(*form6_, "RadioButton1").setChecked(true);
        QTest::mouseClick(&child<QPushButton>(*form6_, "BitBtn2"), Qt::LeftButton);
        QVERIFY(form1_->Table1().Filtered());
        QCOMPARE(form1_->Table1().Filter(), std::u16string(u"TELEP = 'Abaúj*' Or IRSZ < '1012'"));
        QCOMPARE(form1_->Table1().RecordCount(), 6 + 2);
        QCOMPARE(form6_->stateLabel().text(), QStringLiteral("Bekapcsolva"));

        // Shown again, the window tells the table's state.
        form6_->hide();
        form6_->show();
        QVERIFY(child<QRadioButton>(*form6_, "RadioButton1").isChecked());
    }

    void aQuoteInAValueStaysInsideItsLiteral() {
        form6_->fieldBox(0).setEditText(QStringLiteral("Település"));
        form6_->operatorBox(0).setEditText(QStringLiteral("="));
        form6_->valueBox(0).setText(QStringLiteral("Aba'"));
        leave(form6_->valueBox(0));
        child<QRadioButton>(*form6_, "RadioButton1").setChecked(true);
        QTest::mouseClick(&child<QPushButton>(*form6_, "BitBtn2"), Qt::LeftButton);
        QVERIFY(form1_->Table1().Filtered());
        QCOMPARE(form1_->Table1().RecordCount(), 0);
    }

    void anEmptyBoxSwitchedOnShowsEveryRecord() {
        child<QRadioButton>(*form6_, "RadioButton1").setChecked(true);
        QTest::mouseClick(&child<QPushButton>(*form6_, "BitBtn2"), Qt::LeftButton);
        QVERIFY(form1_->Table1().Filtered());
        QCOMPARE(form1_->Table1().Filter(), std::u16string());
        QCOMPARE(form1_->Table1().RecordCount(), kSampleRecords);
    }

    void aBadOperatorIsReportedAndTheFilterStaysOff() {
        form6_->fieldBox(0).setEditText(QStringLiteral("Település"));
        form6_->operatorBox(0).setEditText(QStringLiteral("=~"));
        form6_->valueBox(0).setText(QStringLiteral("Aba"));
        leave(form6_->valueBox(0));
        child<QRadioButton>(*form6_, "RadioButton1").setChecked(true);
        BoxAnswerer answerer(QStringLiteral("OK"));
        QTest::mouseClick(&child<QPushButton>(*form6_, "BitBtn2"), Qt::LeftButton);
        QVERIFY(answerer.seen().shown);
        QCOMPARE(answerer.seen().text, QStringLiteral("Hibás a szűrési feltétel !!!"));
        QCOMPARE(answerer.seen().caption, QStringLiteral("Szűrő beállítása:"));
        QVERIFY(!form1_->Table1().Filtered());
        QCOMPARE(form1_->Table1().Filter(), std::u16string(u"TELEP =~ 'Aba'"));
        QCOMPARE(form6_->stateLabel().text(), QStringLiteral("Kikapcsolva"));
    }

    void resettingThenApplyingSwitchesTheFilterOff() {
        form1_->Table1().SetFilter(u"TELK = '1'");
        form1_->Table1().SetFiltered(true);
        form6_->fieldBox(1).setEditText(QStringLiteral("Település"));
        form6_->valueBox(1).setText(QStringLiteral("x"));
        leave(form6_->valueBox(1));
        QTest::mouseClick(&child<QPushButton>(*form6_, "BitBtn3"), Qt::LeftButton);
        QCOMPARE(form6_->fieldBox(1).currentText(), QString());
        QCOMPARE(form6_->valueBox(1).text(), QString());
        QCOMPARE(form6_->conditionBox().toPlainText(), QString());
        QVERIFY(child<QRadioButton>(*form6_, "RadioButton2").isChecked());
        // Resetting alone leaves the table's filter.
        QVERIFY(form1_->Table1().Filtered());

        QTest::mouseClick(&child<QPushButton>(*form6_, "BitBtn2"), Qt::LeftButton);
        QVERIFY(!form1_->Table1().Filtered());
        QCOMPARE(form1_->Table1().Filter(), std::u16string());
        QCOMPARE(form6_->stateLabel().text(), QStringLiteral("Kikapcsolva"));
    }

private:
    std::unique_ptr<TForm1> form1_;
    std::unique_ptr<TForm6> form6_;
};

}  // namespace

std::unique_ptr<QObject> makeFilterWindowTest() {
    return std::make_unique<FilterWindowTest>();
}

}  // namespace zenkalo::test

#include "filter_window_test.moc"

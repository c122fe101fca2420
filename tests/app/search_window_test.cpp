// The search window on the sample table: its two modes with their lengths, hints and indexes, the
// search on every keystroke moving the table and the grid, the index it leaves behind, and the
// message when the search fails.
#include "app/search_window.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "app/db_grid.h"
#include "app/main_window.h"
#include "box_answerer.h"
#include "dataset/tdb_table.h"
#include "suites.h"
#include "widgets.h"

namespace zenkalo::test {
namespace {

QString field(const TForm1& form1, const char16_t* name) {
    return QString::fromStdU16String(form1.Table1().FieldByName(name).AsString());
}

class SearchWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        form1_ = std::make_unique<TForm1>();
        form1_->Table1().Open();
        form5_ = std::make_unique<TForm5>(*form1_);
        form5_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form5_.get()));
    }
    void cleanup() {
        form5_.reset();
        form1_.reset();
    }

    void theModesSetLengthHintAndIndexAndEmptyTheText() {
        QLineEdit& edit = form5_->searchText();
        QCOMPARE(edit.maxLength(), 38);
        QVERIFY(child<QRadioButton>(*form5_, "RadioButton2").isChecked());
        QCOMPARE(edit.toolTip(), QStringLiteral("Keresendő település"));
        QCOMPARE(form1_->Table1().IndexName(), std::u16string(u"TELEP"));

        QTest::keyClicks(&edit, QStringLiteral("Szeged"));
        QTest::mouseClick(&child<QRadioButton>(*form5_, "RadioButton1"), Qt::LeftButton);
        QCOMPARE(edit.text(), QString());
        QCOMPARE(edit.maxLength(), 4);
        QCOMPARE(edit.toolTip(), QStringLiteral("Keresendő irányítószám"));
        QCOMPARE(edit.statusTip(), QStringLiteral("Keresendő irányítószám megadása !"));
        QCOMPARE(form1_->Table1().IndexName(), std::u16string(u"IRSZ"));
        QTest::keyClicks(&edit, QStringLiteral("123456"));
        QCOMPARE(edit.text(), QStringLiteral("1234"));

        QTest::mouseClick(&child<QRadioButton>(*form5_, "RadioButton2"), Qt::LeftButton);
        QCOMPARE(edit.text(), QString());
        QCOMPARE(edit.maxLength(), 38);
        QTest::keyClicks(&edit, QString(45, QLatin1Char('x')));
        QCOMPARE(edit.text().size(), 38);
    }

    void typingASettlementMovesTheTableAndTheGridLetterByLetter() {
        QLineEdit& edit = form5_->searchText();
        const QString typed = QStringLiteral("Bonnya");
        for (int i = 1; i <= typed.size(); ++i) {
            QTest::keyClick(&edit, typed.at(i - 1).toLatin1());
            const QString prefix = typed.left(i);
            QVERIFY2(field(*form1_, u"TELEP").startsWith(prefix, Qt::CaseInsensitive),
                     qPrintable(prefix + QStringLiteral(" → ") + field(*form1_, u"TELEP")));
            TDataSetModel& model = form5_->grid().model();
            QCOMPARE(model.data(model.index(model.activeRow(), 1)).toString(),
                     field(*form1_, u"TELEP"));
        }
        QCOMPARE(field(*form1_, u"TELEP"), QStringLiteral("Bonnya"));
        // Deleting the text shows the first record, a text after every key the last.
        edit.clear();
        QCOMPARE(form1_->Table1().RecNo(), 1);
        QTest::keyClicks(&edit, QStringLiteral("Zsz"));
        QVERIFY(form1_->Table1().Eof());
    }

    void aPostalCodeThatIsNotThereFindsTheNextGreater() {
        QTest::mouseClick(&child<QRadioButton>(*form5_, "RadioButton1"), Qt::LeftButton);
        QTest::keyClicks(&form5_->searchText(), QStringLiteral("1008"));
        QCOMPARE(field(*form1_, u"IRSZ"), QStringLiteral("1011"));
        QCOMPARE(field(*form1_, u"TELEP"), QStringLiteral("Budapest"));
    }

    void befejezesLeavesTheSettlementOrderAndTheTitleBarTheLastMode() {
        QTest::mouseClick(&child<QRadioButton>(*form5_, "RadioButton1"), Qt::LeftButton);
        QTest::mouseClick(&child<QPushButton>(*form5_, "BitBtn1"), Qt::LeftButton);
        QVERIFY(!form5_->isVisible());
        QCOMPARE(form1_->Table1().IndexName(), std::u16string(u"TELEP"));

        form5_->show();
        QCOMPARE(form1_->Table1().IndexName(), std::u16string(u"TELEP"));
        QTest::mouseClick(&child<QRadioButton>(*form5_, "RadioButton1"), Qt::LeftButton);
        form5_->close();
        QCOMPARE(form1_->Table1().IndexName(), std::u16string(u"IRSZ"));
    }

    void aFailedSearchIsReportedAndTheWindowGoesOn() {
        form1_->Table1().Close();
        BoxAnswerer answerer(QStringLiteral("OK"));
        QTest::keyClick(&form5_->searchText(), 'a');
        QVERIFY(answerer.seen().shown);
        QCOMPARE(answerer.seen().text, QStringLiteral("Hiba történt !!!"));
        QCOMPARE(answerer.seen().caption, QStringLiteral("Adatok keresése:"));
        QVERIFY(form5_->isVisible());
    }

private:
    std::unique_ptr<TForm1> form1_;
    std::unique_ptr<TForm5> form5_;
};

}  // namespace

std::unique_ptr<QObject> makeSearchWindowTest() {
    return std::make_unique<SearchWindowTest>();
}

}  // namespace zenkalo::test

#include "search_window_test.moc"

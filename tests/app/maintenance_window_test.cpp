// The maintenance window on the sample table: settlement order on every show, the navigator's
// buttons and their states, adding a record, the delete question, a filter the grid respects.
#include "app/maintenance_window.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include "app/db_grid.h"
#include "app/db_navigator.h"
#include "app/main_window.h"
#include "box_answerer.h"
#include "dataset/tdb_table.h"
#include "sample_database.h"
#include "suites.h"

namespace zenkalo::test {
namespace {

class MaintenanceWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        form1_ = std::make_unique<TForm1>();
        form1_->Table1().Open();
        form2_ = std::make_unique<TForm2>(*form1_);
    }
    void cleanup() {
        form2_.reset();
        form1_.reset();
    }

    void showingTheWindowOrdersBySettlement() {
        form1_->Table1().SetIndexName(u"IRSZ");
        form2_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form2_.get()));
        QCOMPARE(form1_->Table1().IndexName(), std::u16string(u"TELEP"));
        QCOMPARE(telep(), QStringLiteral("Aba"));
    }

    void theNavigatorMovesAndItsButtonsFollowTheState() {
        form2_->show();
        TDBNavigator& navigator = form2_->navigator();
        QCOMPARE(navigator.button(TNavigateBtn::nbFirst).toolTip(), QStringLiteral("Első rekord"));
        QCOMPARE(navigator.button(TNavigateBtn::nbRefresh).statusTip(),
                 QStringLiteral("Frissítés !"));
        QVERIFY(!navigator.button(TNavigateBtn::nbPrior).isEnabled());
        QVERIFY(!navigator.button(TNavigateBtn::nbPost).isEnabled());
        QTest::mouseClick(&navigator.button(TNavigateBtn::nbNext), Qt::LeftButton);
        QCOMPARE(form1_->Table1().RecNo(), 2);
        QVERIFY(navigator.button(TNavigateBtn::nbPrior).isEnabled());
        QTest::mouseClick(&navigator.button(TNavigateBtn::nbLast), Qt::LeftButton);
        QVERIFY(form1_->Table1().Eof());
        QVERIFY(!navigator.button(TNavigateBtn::nbNext).isEnabled());

        QTest::mouseClick(&navigator.button(TNavigateBtn::nbEdit), Qt::LeftButton);
        QCOMPARE(form1_->Table1().State(), dataset::TDataSetState::dsEdit);
        QVERIFY(navigator.button(TNavigateBtn::nbPost).isEnabled());
        QVERIFY(!navigator.button(TNavigateBtn::nbFirst).isEnabled());
        QTest::mouseClick(&navigator.button(TNavigateBtn::nbCancel), Qt::LeftButton);
        QCOMPARE(form1_->Table1().State(), dataset::TDataSetState::dsBrowse);
    }

    void aRecordAddedInTheGridIsDeletedOnlyAfterYes() {
        form2_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form2_.get()));
        TDBNavigator& navigator = form2_->navigator();
        dataset::TTdbTable& table = form1_->Table1();
        QTest::mouseClick(&navigator.button(TNavigateBtn::nbInsert), Qt::LeftButton);
        QCOMPARE(table.State(), dataset::TDataSetState::dsInsert);
        TDataSetModel& model = form2_->grid().model();
        const int row = model.activeRow();
        QCOMPARE(model.headerData(row, Qt::Vertical).toString(), QStringLiteral("*"));
        QVERIFY(model.setData(model.index(row, 0), QStringLiteral("9999")));
        QVERIFY(model.setData(model.index(row, 1), QStringLiteral("Tesztfalva")));
        QTest::mouseClick(&navigator.button(TNavigateBtn::nbPost), Qt::LeftButton);
        QCOMPARE(table.RecordCount(), kSampleRecords + 1);
        QCOMPARE(telep(), QStringLiteral("Tesztfalva"));

        {
            BoxAnswerer answerer(QStringLiteral("&Nem"));
            QTest::mouseClick(&navigator.button(TNavigateBtn::nbDelete), Qt::LeftButton);
            QVERIFY(answerer.seen().shown);
            QCOMPARE(answerer.seen().text, QStringLiteral("Biztosan törölhető ?"));
            QCOMPARE(answerer.seen().caption, QStringLiteral("Törlés jóváhagyás:"));
        }
        QCOMPARE(table.RecordCount(), kSampleRecords + 1);
        QCOMPARE(telep(), QStringLiteral("Tesztfalva"));
        QCOMPARE(table.State(), dataset::TDataSetState::dsBrowse);
        // No further message.
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        BoxAnswerer answerer(QStringLiteral("&Igen"));
        QTest::mouseClick(&navigator.button(TNavigateBtn::nbDelete), Qt::LeftButton);
        QVERIFY(answerer.seen().shown);
        QCOMPARE(table.RecordCount(), kSampleRecords);
        QVERIFY(!table.FindKey({std::u16string(u"Tesztfalva")}));
    }

    void theGridShowsOnlyTheFilteredRecords() {
        dataset::TTdbTable& table = form1_->Table1();
        table.SetFilter(u"TELEP = 'Abaúj*'");
        table.SetFiltered(true);
        form2_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form2_.get()));
        QCOMPARE(form2_->grid().model().rowCount(), 6);
        QCOMPARE(table.RecordCount(), 6);
    }

private:
    QString telep() const {
        return QString::fromStdU16String(form1_->Table1().FieldByName(u"TELEP").AsString());
    }

    std::unique_ptr<TForm1> form1_;
    std::unique_ptr<TForm2> form2_;
};

}  // namespace

std::unique_ptr<QObject> makeMaintenanceWindowTest() {
    return std::make_unique<MaintenanceWindowTest>();
}

}  // namespace zenkalo::test

#include "maintenance_window_test.moc"

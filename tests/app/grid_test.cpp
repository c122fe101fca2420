// The data grid over the sample table: the model keeps Qt's model rules while the dataset moves,
// filters and edits under it, and the grid moves the dataset for its keys, scroll bar and clicks.
#include <QAbstractItemModelTester>
#include <QDir>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

#include "app/db_grid.h"
#include "dataset/data_link.h"
#include "dataset/tdb_database.h"
#include "dataset/tdb_table.h"
#include "sample_database.h"
#include "suites.h"

namespace zenkalo::test {
namespace {

// The sample table of the working directory, as the main window opens it.
struct TSample {
    TSample() {
        database.SetName(u"GridDatabase");
        database.SetLocation(QDir::currentPath().toStdU16String());
        table.SetName(u"Table1");
        table.SetDatabaseName(u"GridDatabase");
        table.SetTableName(u"Irsz");
        table.SetIndexName(u"TELEP");
        table.Open();
        source.SetDataSet(&table);
    }
    QString telep() const {
        return QString::fromStdU16String(table.FieldByName(u"TELEP").AsString());
    }

    dataset::TTdbDatabase database{nullptr};
    dataset::TTdbTable table{nullptr};
    dataset::TDataSource source;
};

class GridTest : public QObject {
    Q_OBJECT

private slots:
    void theModelFollowsTheDataSetWithinQtsModelRules() {
        TSample sample;
        TDataSetModel model(sample.source, postalGridColumns());
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setVisibleRows(10);
        QCOMPARE(model.rowCount(), 10);
        QCOMPARE(model.columnCount(), 3);
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Település"));
        QCOMPARE(model.data(model.index(0, 1)).toString(), QStringLiteral("Aba"));
        QCOMPARE(model.activeRow(), 0);
        QCOMPARE(model.headerData(0, Qt::Vertical).toString(), QStringLiteral("▶"));

        for (int i = 0; i < 14; ++i)
            sample.table.Next();
        QCOMPARE(model.activeRow(), 9);
        QCOMPARE(model.data(model.index(9, 1)).toString(), sample.telep());

        sample.table.FindNearest({std::u16string(u"Budapest")});
        QCOMPARE(model.data(model.index(model.activeRow(), 1)).toString(),
                 QStringLiteral("Budapest"));

        // A filter leaves fewer rows than the window has room for.
        sample.table.SetFilter(u"TELEP = 'Abaúj*'");
        sample.table.SetFiltered(true);
        QVERIFY(sample.table.RecordCount() < 10);
        QCOMPARE(model.rowCount(), sample.table.RecordCount());
        sample.table.SetFiltered(false);
        QCOMPARE(model.rowCount(), 10);

        model.setVisibleRows(4);
        QCOMPARE(model.rowCount(), 4);
        sample.table.Close();
        QCOMPARE(model.rowCount(), 0);
    }

    void cellsAreEditedInPlaceThroughTheDataSet() {
        TSample sample;
        TDataSetModel model(sample.source, postalGridColumns());
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setVisibleRows(8);
        QVERIFY(!(model.flags(model.index(2, 2)) & Qt::ItemIsEditable));
        model.setEditable(true);
        QVERIFY(model.flags(model.index(2, 2)) & Qt::ItemIsEditable);

        const QString name = model.data(model.index(2, 1)).toString();
        QVERIFY(model.setData(model.index(2, 2), QStringLiteral("99")));
        QCOMPARE(sample.table.State(), dataset::TDataSetState::dsEdit);
        QCOMPARE(model.activeRow(), 2);
        QCOMPARE(model.headerData(2, Qt::Vertical).toString(), QStringLiteral("I"));
        QCOMPARE(sample.telep(), name);
        sample.table.Cancel();
        QCOMPARE(model.data(model.index(2, 2)).toString() == QStringLiteral("99"), false);
    }

    void theGridMovesTheDataSet() {
        TSample sample;
        TDBGrid grid(sample.source, postalGridColumns());
        grid.resize(378, 189);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        const int rows = grid.model().visibleRows();
        QVERIFY2(rows >= 6 && rows <= 10, qPrintable(QString::number(rows)));
        QCOMPARE(grid.model().rowCount(), rows);
        QCOMPARE(grid.scrollBar().maximum(), kSampleRecords - 1);

        QTest::keyClick(&grid.view(), Qt::Key_Down);
        QCOMPARE(sample.table.RecNo(), 2);
        QTest::keyClick(&grid.view(), Qt::Key_PageDown);
        QCOMPARE(sample.table.RecNo(), 2 + rows);
        QTest::keyClick(&grid.view(), Qt::Key_End, Qt::ControlModifier);
        QVERIFY(sample.table.Eof());
        QTRY_COMPARE(grid.scrollBar().value(), kSampleRecords - 1);
        QTest::keyClick(&grid.view(), Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(sample.table.RecNo(), 1);

        grid.scrollBar().setSliderPosition(1000);
        grid.scrollBar().triggerAction(QAbstractSlider::SliderMove);
        QCOMPARE(sample.table.RecNo(), 1001);
        QTRY_COMPARE(grid.scrollBar().value(), 1000);

        // A click on a row makes its record the current one.
        const int active = grid.model().activeRow();
        const int target = active == 0 ? 2 : 0;
        const QRect cell = grid.view().visualRect(grid.model().index(target, 1));
        QTest::mouseClick(grid.view().viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(sample.table.RecNo(), 1001 + target - active);
    }
};

}  // namespace

std::unique_ptr<QObject> makeGridTest() {
    return std::make_unique<GridTest>();
}

}  // namespace zenkalo::test

#include "grid_test.moc"

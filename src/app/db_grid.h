// The data grid of the windows: a table view of a dataset's buffer window and a scroll bar over
// the whole table. Scrolling, the arrow and page keys, the wheel and clicks move the dataset;
// the view only ever shows the rows the window holds, so long tables scroll as fast as short
// ones.
#pragma once

#include <QWidget>
#include <vector>

#include "app/dataset_model.h"

class QScrollBar;
class QTableView;

namespace dataset {
class TDataSet;
class TDataSource;
}  // namespace dataset

namespace zenkalo {

// The columns of the postal table as every grid of the program shows them.
std::vector<TGridColumn> postalGridColumns();

class TDBGrid : public QWidget {
    Q_OBJECT

public:
    TDBGrid(dataset::TDataSource& source, std::vector<TGridColumn> columns,
            QWidget* parent = nullptr);
    ~TDBGrid() override;

    TDataSetModel& model() const { return *model_; }
    QTableView& view() const { return *view_; }
    QScrollBar& scrollBar() const { return *scrollBar_; }
    // Editing in place (the maintenance window); read-only otherwise.
    void setEditable(bool editable);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitRows();
    void followDataSet();
    void scrollTo(int action);
    void scrollDataSet(dataset::TDataSet& set, int action);
    void moveBy(int rows);

    TDataSetModel* model_;
    QTableView* view_;
    QScrollBar* scrollBar_;
    bool following_ = false;
};

}  // namespace zenkalo

// A dataset's buffer window as a Qt table model: one model row per record the window holds, the
// active record among them, field texts as cells, in-place editing through the dataset. Grids
// show exactly these rows and move the dataset to scroll, so the model never holds more rows
// than are on screen, however long the table.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <memory>
#include <string>
#include <vector>

namespace dataset {
class TDataSet;
class TDataSource;
class TField;
}  // namespace dataset

namespace zenkalo {

struct TGridColumn {
    std::u16string field;
    QString title;
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
};

class TDataSetModel : public QAbstractTableModel {
    Q_OBJECT

public:
    TDataSetModel(dataset::TDataSource& source, std::vector<TGridColumn> columns,
                  QObject* parent = nullptr);
    ~TDataSetModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Puts the dataset in edit state on that row's record and writes the field.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // Whether cells can be edited in place (the dataset must allow it too).
    void setEditable(bool editable) { editable_ = editable; }
    bool editable() const { return editable_; }
    // The rows the grid has room for: the window the dataset keeps for it.
    void setVisibleRows(int rows);
    int visibleRows() const;
    // The row of the dataset's active record; -1 when there is none.
    int activeRow() const;
    dataset::TDataSet* dataSet() const;
    const std::vector<TGridColumn>& columns() const { return columns_; }

signals:
    // The dataset moved, changed or changed its state.
    void dataSetChanged();

private:
    class TLink;
    friend class TLink;

    // Brings the model's rows in line with the link's window and tells the views.
    void synchronise();
    dataset::TField* field(int column) const;

    std::vector<TGridColumn> columns_;
    std::unique_ptr<TLink> link_;
    int rows_ = 0;
    bool editable_ = false;
    bool detaching_ = false;
};

}  // namespace zenkalo

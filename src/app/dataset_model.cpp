// A dataset's buffer window as a Qt table model.
#include "app/dataset_model.h"

#include <QBrush>
#include <QColor>
#include <QFont>

#include "app/application.h"
#include "dataset/data_link.h"
#include "dataset/dataset.h"

namespace zenkalo {

// The model's view of the dataset: every change of it brings the model's rows in line.
class TDataSetModel::TLink : public dataset::TDataLink {
public:
    explicit TLink(TDataSetModel& model) : model_(model) {}

    // Reads a row's cell with that row as the dataset's active record for the moment.
    template <typename Read>
    auto atRow(int row, Read&& read) {
        const std::int32_t active = ActiveRecord();
        SetActiveRecord(row);
        struct Restore {
            TLink& link;
            std::int32_t row;
            ~Restore() { link.SetActiveRecord(row); }
        } restore{*this, active};
        return read();
    }

protected:
    void ActiveChanged() override { model_.synchronise(); }
    void EditingChanged() override { model_.synchronise(); }
    void RecordChanged(dataset::TField* /*field*/) override { model_.synchronise(); }
    void DataSetChanged() override { model_.synchronise(); }
    void DataSetScrolled(std::int32_t /*distance*/) override { model_.synchronise(); }
    void LayoutChanged() override { model_.synchronise(); }

private:
    TDataSetModel& model_;
};

TDataSetModel::TDataSetModel(dataset::TDataSource& source, std::vector<TGridColumn> columns,
                             QObject* parent)
    : QAbstractTableModel(parent),
      columns_(std::move(columns)),
      link_(std::make_unique<TLink>(*this)) {
    link_->SetDataSource(&source);
    rows_ = link_->RecordCount();
}

TDataSetModel::~TDataSetModel() {
    detaching_ = true;
    link_->SetDataSource(nullptr);
}

dataset::TDataSet* TDataSetModel::dataSet() const {
    return link_->DataSet();
}

void TDataSetModel::setVisibleRows(int rows) {
    link_->SetBufferCount(std::max(rows, 1));
    synchronise();
}

int TDataSetModel::visibleRows() const {
    return link_->BufferCount();
}

int TDataSetModel::activeRow() const {
    return link_->Active() && rows_ > 0 ? link_->ActiveRecord() : -1;
}

dataset::TField* TDataSetModel::field(int column) const {
    dataset::TDataSet* set = dataSet();
    if (set == nullptr || !set->Active() || column < 0 ||
        column >= static_cast<int>(columns_.size()))
        return nullptr;
    return set->FindField(columns_[static_cast<std::size_t>(column)].field);
}

void TDataSetModel::synchronise() {
    if (detaching_)
        return;
    const int wanted = link_->Active() ? link_->RecordCount() : 0;
    if (wanted < rows_) {
        beginRemoveRows(QModelIndex(), wanted, rows_ - 1);
        rows_ = wanted;
        endRemoveRows();
    } else if (wanted > rows_) {
        beginInsertRows(QModelIndex(), rows_, wanted - 1);
        rows_ = wanted;
        endInsertRows();
    }
    if (rows_ > 0) {
        emit dataChanged(index(0, 0), index(rows_ - 1, columnCount() - 1));
        emit headerDataChanged(Qt::Vertical, 0, rows_ - 1);
    }
    emit dataSetChanged();
}

int TDataSetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int TDataSetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TDataSetModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const TGridColumn& column = columns_[static_cast<std::size_t>(index.column())];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(column.alignment);
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    dataset::TField* cell = field(index.column());
    if (cell == nullptr || index.row() >= link_->RecordCount())
        return {};
    return link_->atRow(index.row(),
                        [&] { return QString::fromStdU16String(cell->DisplayText()); });
}

QVariant TDataSetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal) {
        if (section < 0 || section >= static_cast<int>(columns_.size()))
            return {};
        const TGridColumn& column = columns_[static_cast<std::size_t>(section)];
        switch (role) {
            case Qt::DisplayRole:
                return column.title;
            case Qt::TextAlignmentRole:
                return QVariant::fromValue(column.alignment);
            case Qt::ForegroundRole:
                return QBrush(QColor(0, 0, 0x80));
            case Qt::FontRole: {
                QFont font(QStringLiteral("MS Sans Serif"));
                font.setPixelSize(11);
                font.setBold(true);
                return font;
            }
            default:
                return {};
        }
    }
    if (role != Qt::DisplayRole || section < 0 || section >= rows_)
        return {};
    // The row indicator: the active record, and whether it is being edited or added.
    if (section != activeRow())
        return QString();
    switch (dataSet()->State()) {
        case dataset::TDataSetState::dsEdit:
            return QStringLiteral("I");
        case dataset::TDataSetState::dsInsert:
            return QStringLiteral("*");
        default:
            return QStringLiteral("▶");
    }
}

Qt::ItemFlags TDataSetModel::flags(const QModelIndex& index) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    const dataset::TField* cell = field(index.column());
    if (editable_ && cell != nullptr && !cell->ReadOnly() && dataSet()->CanModify())
        flags |= Qt::ItemIsEditable;
    return flags;
}

bool TDataSetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable))
        return false;
    dataset::TDataSet& set = *dataSet();
    dataset::TField& cell = *field(index.column());
    const int distance = index.row() - activeRow();
    bool written = false;
    showingFailures([&] {
        if (distance != 0)
            set.MoveBy(distance);
        set.Edit();
        cell.SetAsString(value.toString().toStdU16String());
        written = true;
    });
    return written;
}

}  // namespace zenkalo

// The data grid: a table view of the buffer window and a scroll bar over the whole table.
#include "app/db_grid.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTableView>
#include <QWheelEvent>

#include "app/application.h"
#include "dataset/dataset.h"

namespace zenkalo {

std::vector<TGridColumn> postalGridColumns() {
    return {{u"IRSZ", QStringLiteral("Ir. szám."), Qt::AlignCenter},
            {u"TELEP", QStringLiteral("Település"), Qt::AlignLeft | Qt::AlignVCenter},
            {u"TELK", QStringLiteral("Tel. Körz."), Qt::AlignCenter}};
}

TDBGrid::TDBGrid(dataset::TDataSource& source, std::vector<TGridColumn> columns, QWidget* parent)
    : QWidget(parent),
      model_(new TDataSetModel(source, std::move(columns), this)),
      view_(new QTableView(this)),
      scrollBar_(new QScrollBar(Qt::Vertical, this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_);
    layout->addWidget(scrollBar_);

    view_->setModel(model_);
    view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setSelectionBehavior(QAbstractItemView::SelectItems);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setDefaultSectionSize(18);
    view_->verticalHeader()->setFixedWidth(12);
    view_->horizontalHeader()->setSectionsMovable(false);
    view_->setWordWrap(false);
    view_->installEventFilter(this);
    view_->viewport()->installEventFilter(this);

    connect(model_, &TDataSetModel::dataSetChanged, this, &TDBGrid::followDataSet);
    connect(scrollBar_, &QScrollBar::actionTriggered, this, &TDBGrid::scrollTo);
    connect(view_, &QTableView::clicked, this,
            [this](const QModelIndex& index) { moveBy(index.row() - model_->activeRow()); });
    followDataSet();
}

TDBGrid::~TDBGrid() {
    // The model outlives this part of the grid for a moment and still reports its detaching.
    disconnect(model_, nullptr, this, nullptr);
}

void TDBGrid::setEditable(bool editable) {
    model_->setEditable(editable);
    view_->setEditTriggers(editable ? QAbstractItemView::DoubleClicked |
                                          QAbstractItemView::EditKeyPressed |
                                          QAbstractItemView::AnyKeyPressed
                                    : QAbstractItemView::NoEditTriggers);
}

void TDBGrid::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitRows();
}

void TDBGrid::fitRows() {
    const int rowHeight = view_->verticalHeader()->defaultSectionSize();
    const int room = view_->viewport()->height();
    model_->setVisibleRows(std::max(1, room / std::max(rowHeight, 1)));
}

// The scroll bar stands for the whole table, the view's current cell for the active record.
void TDBGrid::followDataSet() {
    dataset::TDataSet* set = model_->dataSet();
    following_ = true;
    if (set == nullptr || !set->Active()) {
        scrollBar_->setRange(0, 0);
    } else {
        const int count = set->RecordCount();
        const int recNo = set->RecNo();
        scrollBar_->setRange(0, std::max(0, count - 1));
        scrollBar_->setPageStep(std::max(1, model_->visibleRows()));
        if (recNo > 0)
            scrollBar_->setValue(recNo - 1);
        const int row = model_->activeRow();
        if (row >= 0) {
            const int column = std::max(0, view_->currentIndex().column());
            view_->setCurrentIndex(model_->index(row, column));
        }
    }
    following_ = false;
}

void TDBGrid::moveBy(int rows) {
    dataset::TDataSet* set = model_->dataSet();
    if (set != nullptr && set->Active() && rows != 0)
        showingFailures([&] { set->MoveBy(rows); });
}

void TDBGrid::scrollTo(int action) {
    dataset::TDataSet* set = model_->dataSet();
    if (following_ || set == nullptr || !set->Active())
        return;
    showingFailures([&] { scrollDataSet(*set, action); });
    // The bar shows where the dataset went, not where the slider was pushed.
    QMetaObject::invokeMethod(this, &TDBGrid::followDataSet, Qt::QueuedConnection);
}

void TDBGrid::scrollDataSet(dataset::TDataSet& set, int action) {
    switch (action) {
        case QAbstractSlider::SliderSingleStepAdd:
            set.MoveBy(1);
            break;
        case QAbstractSlider::SliderSingleStepSub:
            set.MoveBy(-1);
            break;
        case QAbstractSlider::SliderPageStepAdd:
            set.MoveBy(model_->visibleRows());
            break;
        case QAbstractSlider::SliderPageStepSub:
            set.MoveBy(-model_->visibleRows());
            break;
        case QAbstractSlider::SliderToMinimum:
            set.First();
            break;
        case QAbstractSlider::SliderToMaximum:
            set.Last();
            break;
        case QAbstractSlider::SliderMove:
            // The slider's position is the record's place in the order.
            set.SetRecNo(scrollBar_->sliderPosition() + 1);
            break;
        default:
            break;
    }
}

bool TDBGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool control = key->modifiers() & Qt::ControlModifier;
        dataset::TDataSet* set = model_->dataSet();
        if (set == nullptr || !set->Active())
            return false;
        switch (key->key()) {
            case Qt::Key_Down:
                moveBy(1);
                return true;
            case Qt::Key_Up:
                moveBy(-1);
                return true;
            case Qt::Key_PageDown:
                moveBy(model_->visibleRows());
                return true;
            case Qt::Key_PageUp:
                moveBy(-model_->visibleRows());
                return true;
            case Qt::Key_Home:
                if (control) {
                    showingFailures([&] { set->First(); });
                    return true;
                }
                return false;
            case Qt::Key_End:
                if (control) {
                    showingFailures([&] { set->Last(); });
                    return true;
                }
                return false;
            default:
                return false;
        }
    }
    if (watched == view_->viewport() && event->type() == QEvent::Wheel) {
        const int steps = static_cast<QWheelEvent*>(event)->angleDelta().y() / 120;
        moveBy(-3 * steps);
        return true;
    }
    if (watched == view_->viewport() && event->type() == QEvent::Resize)
        fitRows();
    return QWidget::eventFilter(watched, event);
}

}  // namespace zenkalo

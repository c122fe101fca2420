// The record navigator.
#include "app/db_navigator.h"

#include <QHBoxLayout>
#include <QStyle>
#include <QToolButton>

#include "app/application.h"
#include "app/hint.h"
#include "dataset/data_link.h"
#include "dataset/dataset.h"

namespace zenkalo {

namespace {

struct TButtonLook {
    const char* name;
    QStyle::StandardPixmap icon;
    const char* hint;
};

// In the order of the buttons.
const std::array<TButtonLook, 10> kButtons = {{
    {"First", QStyle::SP_MediaSkipBackward, "Első rekord|Első rekord !"},
    {"Prior", QStyle::SP_MediaSeekBackward, "Előző rekord|Előző rekord !"},
    {"Next", QStyle::SP_MediaSeekForward, "Következő rekord|Következő rekord !"},
    {"Last", QStyle::SP_MediaSkipForward, "Utolsó rekord|Utolsó rekord !"},
    {"Insert", QStyle::SP_FileDialogNewFolder, "Új rekord|Új rekord !"},
    {"Delete", QStyle::SP_TrashIcon, "Rekord törlése|Rekord törlése !"},
    {"Edit", QStyle::SP_FileDialogDetailedView, "Rekord szerkesztése|Rekord szerkesztése !"},
    {"Post", QStyle::SP_DialogApplyButton, "Rekord tárolása|Rekord tárolása !"},
    {"Cancel", QStyle::SP_DialogCancelButton, "Elvetés|Elvetés !"},
    {"Refresh", QStyle::SP_BrowserReload, "Frissítés|Frissítés !"},
}};

}  // namespace

class TDBNavigator::TLink : public dataset::TDataLink {
public:
    explicit TLink(TDBNavigator& navigator) : navigator_(navigator) {}

protected:
    void ActiveChanged() override { navigator_.updateButtons(); }
    void EditingChanged() override { navigator_.updateButtons(); }
    void DataSetChanged() override { navigator_.updateButtons(); }
    void DataSetScrolled(std::int32_t /*distance*/) override { navigator_.updateButtons(); }

private:
    TDBNavigator& navigator_;
};

TDBNavigator::TDBNavigator(dataset::TDataSource& source, QWidget* parent)
    : QWidget(parent), link_(std::make_unique<TLink>(*this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (std::size_t i = 0; i < kButtons.size(); ++i) {
        auto* button = new QToolButton(this);
        button->setObjectName(QLatin1String(kButtons[i].name));
        button->setIcon(style()->standardIcon(kButtons[i].icon));
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        applyHint(*button, QString::fromUtf8(kButtons[i].hint));
        const auto which = static_cast<TNavigateBtn>(i);
        connect(button, &QToolButton::clicked, this, [this, which] { BtnClick(which); });
        layout->addWidget(button);
        buttons_[i] = button;
    }
    link_->SetDataSource(&source);
    updateButtons();
}

TDBNavigator::~TDBNavigator() {
    link_->SetDataSource(nullptr);
}

void TDBNavigator::BtnClick(TNavigateBtn which) {
    dataset::TDataSet* set = link_->DataSet();
    if (set == nullptr || !set->Active())
        return;
    showingFailures([&] { act(*set, which); });
}

void TDBNavigator::act(dataset::TDataSet& set, TNavigateBtn which) {
    switch (which) {
        case TNavigateBtn::nbFirst:
            set.First();
            break;
        case TNavigateBtn::nbPrior:
            set.Prior();
            break;
        case TNavigateBtn::nbNext:
            set.Next();
            break;
        case TNavigateBtn::nbLast:
            set.Last();
            break;
        case TNavigateBtn::nbInsert:
            set.Insert();
            break;
        case TNavigateBtn::nbDelete:
            // No question of its own: the table's before-delete handler asks.
            set.Delete();
            break;
        case TNavigateBtn::nbEdit:
            set.Edit();
            break;
        case TNavigateBtn::nbPost:
            set.Post();
            break;
        case TNavigateBtn::nbCancel:
            set.Cancel();
            break;
        case TNavigateBtn::nbRefresh:
            set.Refresh();
            break;
    }
}

void TDBNavigator::updateButtons() {
    if (link_ == nullptr)
        return;
    dataset::TDataSet* set = link_->DataSet();
    const bool active = link_->Active() && set != nullptr;
    const bool editing = active && link_->Editing();
    const bool browsing = active && !editing;
    const bool canModify = active && set->CanModify();
    const bool atStart = !active || set->Bof();
    const bool atEnd = !active || set->Eof();
    const bool empty = !active || set->IsEmpty();
    auto enable = [this](TNavigateBtn which, bool on) { button(which).setEnabled(on); };
    enable(TNavigateBtn::nbFirst, browsing && !atStart);
    enable(TNavigateBtn::nbPrior, browsing && !atStart);
    enable(TNavigateBtn::nbNext, browsing && !atEnd);
    enable(TNavigateBtn::nbLast, browsing && !atEnd);
    enable(TNavigateBtn::nbInsert, canModify && browsing);
    enable(TNavigateBtn::nbDelete, canModify && browsing && !empty);
    enable(TNavigateBtn::nbEdit, canModify && browsing && !empty);
    enable(TNavigateBtn::nbPost, canModify && editing);
    enable(TNavigateBtn::nbCancel, canModify && editing);
    enable(TNavigateBtn::nbRefresh, browsing);
}

}  // namespace zenkalo

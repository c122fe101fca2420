// Data sources and data links: the dataset's events fanned out to the controls bound to it.
#include "dataset/data_link.h"

#include <algorithm>

#include "dataset/dataset.h"

namespace dataset {

// ---- TDataSource ----

TDataSource::~TDataSource() {
    SetDataSet(nullptr);
    for (TDataLink* link : FLinks)
        link->FDataSource = nullptr;
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
    if (dataSet == FDataSet)
        return;
    if (FDataSet != nullptr)
        FDataSet->RemoveDataSource(this);
    FDataSet = dataSet;
    if (FDataSet != nullptr)
        FDataSet->AddDataSource(this);
    for (TDataLink* link : FLinks)
        link->UpdateState();
}

void TDataSource::SetEnabled(bool value) {
    FEnabled = value;
    for (TDataLink* link : FLinks)
        link->UpdateState();
}

void TDataSource::DataEvent(TDataEvent event, std::intptr_t info) {
    if (event == TDataEvent::deUpdateState) {
        for (TDataLink* link : std::vector<TDataLink*>(FLinks))
            link->UpdateState();
        if (OnStateChange)
            OnStateChange(*this);
        return;
    }
    if (!FEnabled)
        return;
    NotifyLinks(event, info);
    if (OnDataChange &&
        (event == TDataEvent::deFieldChange || event == TDataEvent::deRecordChange ||
         event == TDataEvent::deDataSetChange || event == TDataEvent::deDataSetScroll ||
         event == TDataEvent::deLayoutChange)) {
        TField* field =
            event == TDataEvent::deFieldChange ? reinterpret_cast<TField*>(info) : nullptr;
        OnDataChange(*this, field);
    }
}

void TDataSource::NotifyLinks(TDataEvent event, std::intptr_t info) {
    for (TDataLink* link : std::vector<TDataLink*>(FLinks))
        link->DataEvent(event, info);
}

// ---- TDataLink ----

TDataLink::~TDataLink() {
    SetDataSource(nullptr);
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == FDataSource)
        return;
    if (FDataSource != nullptr) {
        std::erase(FDataSource->FLinks, this);
        if (TDataSet* set = FDataSource->FDataSet)
            set->UpdateBufferCount();
    }
    FDataSource = source;
    if (FDataSource != nullptr) {
        FDataSource->FLinks.push_back(this);
        if (TDataSet* set = FDataSource->FDataSet)
            set->UpdateBufferCount();
    }
    UpdateState();
}

TDataSet* TDataLink::DataSet() const noexcept {
    return FDataSource != nullptr ? FDataSource->FDataSet : nullptr;
}

void TDataLink::SetBufferCount(std::int32_t count) {
    count = std::max(count, 1);
    if (count == FBufferCount)
        return;
    FBufferCount = count;
    if (TDataSet* set = DataSet()) {
        set->UpdateBufferCount();
        AdjustFirst();
    }
}

std::int32_t TDataLink::RecordCount() const {
    const TDataSet* set = DataSet();
    if (!FActive || set == nullptr)
        return 0;
    return std::clamp(set->FRecordCount - FFirstRecord, 0, FBufferCount);
}

std::int32_t TDataLink::ActiveRecord() const {
    const TDataSet* set = DataSet();
    if (!FActive || set == nullptr)
        return 0;
    return set->FActiveRecord - FFirstRecord;
}

void TDataLink::SetActiveRecord(std::int32_t row) {
    if (TDataSet* set = DataSet(); FActive && set != nullptr)
        set->SetLinkActiveRecord(FFirstRecord + row);
}

void TDataLink::AdjustFirst() {
    const TDataSet* set = DataSet();
    if (set == nullptr)
        return;
    const std::int32_t active = set->FActiveRecord;
    if (active < FFirstRecord)
        FFirstRecord = active;
    else if (active >= FFirstRecord + FBufferCount)
        FFirstRecord = active - FBufferCount + 1;
    FFirstRecord = std::clamp(FFirstRecord, 0, std::max(0, set->FRecordCount - FBufferCount));
    if (active < FFirstRecord)
        FFirstRecord = active;
}

void TDataLink::UpdateState() {
    const TDataSet* set = DataSet();
    SetActive(FDataSource != nullptr && FDataSource->FEnabled && set != nullptr && set->Active());
    SetEditing(FActive && set != nullptr &&
               (set->State() == TDataSetState::dsEdit || set->State() == TDataSetState::dsInsert ||
                set->State() == TDataSetState::dsSetKey));
}

void TDataLink::SetActive(bool value) {
    if (FActive == value)
        return;
    FActive = value;
    FFirstRecord = 0;
    if (value)
        AdjustFirst();
    ActiveChanged();
}

void TDataLink::SetEditing(bool value) {
    if (FEditing == value)
        return;
    FEditing = value;
    EditingChanged();
}

void TDataLink::DataEvent(TDataEvent event, std::intptr_t info) {
    if (!FActive)
        return;
    switch (event) {
        case TDataEvent::deFieldChange:
        case TDataEvent::deRecordChange:
            if (!FUpdating)
                RecordChanged(reinterpret_cast<TField*>(info));
            break;
        case TDataEvent::deDataSetChange:
            AdjustFirst();
            DataSetChanged();
            break;
        case TDataEvent::deDataSetScroll: {
            const std::int32_t before = FFirstRecord;
            AdjustFirst();
            DataSetScrolled(static_cast<std::int32_t>(info) - (FFirstRecord - before));
            break;
        }
        case TDataEvent::deLayoutChange:
            AdjustFirst();
            LayoutChanged();
            break;
        case TDataEvent::deUpdateRecord:
            UpdateRecord();
            break;
        case TDataEvent::deCheckBrowseMode:
            CheckBrowseMode();
            break;
        case TDataEvent::deUpdateState:
            UpdateState();
            break;
    }
}

void TDataLink::UpdateRecord() {
    FUpdating = true;
    try {
        UpdateData();
    } catch (...) {
        FUpdating = false;
        throw;
    }
    FUpdating = false;
}

bool TDataLink::Edit() {
    if (!FEditing) {
        if (TDataSet* set = DataSet(); FActive && set != nullptr && set->CanModify())
            set->Edit();
    }
    return FEditing;
}

}  // namespace dataset

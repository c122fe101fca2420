// Data sources and data links: how grids, edit boxes and navigators attached to a dataset learn
// of its changes, and how a grid reads the rows of the dataset's buffer window.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace dataset {

class TDataSet;
class TDataLink;
class TField;

enum class TDataEvent {
    deFieldChange,
    deRecordChange,
    deDataSetChange,
    deDataSetScroll,
    deLayoutChange,
    deUpdateRecord,
    deUpdateState,
    deCheckBrowseMode,
};

// Stands between a dataset and the controls bound to it; the controls keep their links here.
class TDataSource {
public:
    TDataSource() = default;
    ~TDataSource();
    TDataSource(const TDataSource&) = delete;
    TDataSource& operator=(const TDataSource&) = delete;

    TDataSet* DataSet() const noexcept { return FDataSet; }
    void SetDataSet(TDataSet* dataSet);
    bool Enabled() const noexcept { return FEnabled; }
    void SetEnabled(bool value);
    const std::vector<TDataLink*>& Links() const noexcept { return FLinks; }

    std::function<void(TDataSource&, TField*)> OnDataChange;
    std::function<void(TDataSource&)> OnStateChange;

private:
    friend class TDataLink;
    friend class TDataSet;
    void DataEvent(TDataEvent event, std::intptr_t info);
    void NotifyLinks(TDataEvent event, std::intptr_t info);

    TDataSet* FDataSet = nullptr;
    bool FEnabled = true;
    std::vector<TDataLink*> FLinks;
};

// One control's view of a dataset: a window of BufferCount rows, the active one among them.
class TDataLink {
public:
    TDataLink() = default;
    virtual ~TDataLink();
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;

    TDataSource* DataSource() const noexcept { return FDataSource; }
    void SetDataSource(TDataSource* source);
    TDataSet* DataSet() const noexcept;
    // The source is enabled and its dataset open.
    bool Active() const noexcept { return FActive; }
    bool Editing() const noexcept { return FEditing; }

    std::int32_t BufferCount() const noexcept { return FBufferCount; }
    void SetBufferCount(std::int32_t count);
    // Rows of this link's window that hold records.
    std::int32_t RecordCount() const;
    // The row of the dataset's active record; setting it makes another row the active record
    // for reading its fields (grids paint row by row so).
    std::int32_t ActiveRecord() const;
    void SetActiveRecord(std::int32_t row);

    // The control's value goes into the field before the dataset writes the record.
    void UpdateRecord();
    // The control wants to change the record: the dataset enters edit state. False when it
    // cannot.
    bool Edit();

protected:
    virtual void ActiveChanged() {}
    virtual void EditingChanged() {}
    virtual void RecordChanged(TField* /*field*/) {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(std::int32_t /*distance*/) { DataSetChanged(); }
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void UpdateData() {}
    virtual void CheckBrowseMode() {}

private:
    friend class TDataSource;
    friend class TDataSet;
    void DataEvent(TDataEvent event, std::intptr_t info);
    void UpdateState();
    void SetActive(bool value);
    void SetEditing(bool value);
    // Keeps the dataset's active record inside this link's window.
    void AdjustFirst();

    TDataSource* FDataSource = nullptr;
    std::int32_t FBufferCount = 1;
    std::int32_t FFirstRecord = 0;
    bool FActive = false;
    bool FEditing = false;
    bool FUpdating = false;
};

}  // namespace dataset

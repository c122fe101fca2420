// What the database component asks of the datasets that use it. The table dataset implements it;
// keeping it apart lets the database close, refresh and notify its datasets without knowing
// their buffers.
#pragma once

#include <cstdint>
#include <string>

namespace dataset {

class TTdbDatabaseClient {
public:
    virtual ~TTdbDatabaseClient() = default;

    // The engine cursor of the dataset; 0 while it is closed.
    virtual std::int16_t TableHdl() const noexcept = 0;
    // The name the dataset finds its database by.
    virtual const std::u16string& DatabaseName() const noexcept = 0;
    // A database that changes its name by itself (automatic names) hands the new name on.
    virtual void SetDatabaseName(const std::u16string& name) = 0;
    // The database disconnects: the dataset closes.
    virtual void CloseDataSet() = 0;
    // Other users' changes were taken in: the dataset refreshes its cursor and its buffers.
    virtual void RefreshDataSet() = 0;
    // Record DeletedRecNo of the dataset's table went and MovedRecNo took its number.
    virtual void RecordMoved(std::int32_t deletedRecNo, std::int32_t movedRecNo) = 0;
};

}  // namespace dataset

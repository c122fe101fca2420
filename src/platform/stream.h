// Seekable byte streams in the platform library's style: the abstract stream
// every serialisation writes to, and a stream over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/exception.h"

namespace tdb {

// A stream that cannot do what was asked (reading, writing, locking).
class EdwStreamError : public Exception {
public:
    using Exception::Exception;
};

enum class TdwSeekOrigin { Beginning, Current, End };

class TdwStream {
public:
    virtual ~TdwStream();

    // Transfer up to buffer.size() bytes at the position and advance it; return the count.
    virtual int32_t Read(std::span<std::byte> buffer) = 0;
    virtual int32_t Write(std::span<const std::byte> buffer) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t offset, TdwSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, TdwSeekOrigin::Current); }
    void SetPosition(int64_t position) { Seek(position, TdwSeekOrigin::Beginning); }
    int64_t Size();

    // The whole buffer or EdwStreamError ("Stream read error", "Stream write error").
    void ReadBuffer(std::span<std::byte> buffer);
    void WriteBuffer(std::span<const std::byte> buffer);
};

// A stream over a growable byte buffer: transfers between objects, and tests.
class TdwMemoryStream : public TdwStream {
public:
    TdwMemoryStream() = default;
    explicit TdwMemoryStream(std::vector<std::byte> data) : data_(std::move(data)) {}

    int32_t Read(std::span<std::byte> buffer) override;
    int32_t Write(std::span<const std::byte> buffer) override;
    int64_t Seek(int64_t offset, TdwSeekOrigin origin) override;

    const std::vector<std::byte>& Data() const noexcept { return data_; }

private:
    std::vector<std::byte> data_;
    std::size_t position_ = 0;
};

}  // namespace tdb

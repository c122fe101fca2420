// The abstract stream's whole-buffer transfers, and the memory stream.
#include "platform/stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tdb {

TdwStream::~TdwStream() = default;

int64_t TdwStream::Size() {
    const int64_t position = Position();
    const int64_t size = Seek(0, TdwSeekOrigin::End);
    Seek(position, TdwSeekOrigin::Beginning);
    return size;
}

void TdwStream::ReadBuffer(std::span<std::byte> buffer) {
    if (buffer.empty()) {
        return;
    }
    if (Read(buffer) != static_cast<int64_t>(buffer.size())) {
        throw EdwStreamError(u"Stream read error");
    }
}

void TdwStream::WriteBuffer(std::span<const std::byte> buffer) {
    if (buffer.empty()) {
        return;
    }
    if (Write(buffer) != static_cast<int64_t>(buffer.size())) {
        throw EdwStreamError(u"Stream write error");
    }
}

int32_t TdwMemoryStream::Read(std::span<std::byte> buffer) {
    const std::size_t available = position_ < data_.size() ? data_.size() - position_ : 0;
    const std::size_t count = std::min({buffer.size(), available,
                                        std::size_t{std::numeric_limits<int32_t>::max()}});
    if (count > 0) {
        std::memcpy(buffer.data(), data_.data() + position_, count);
    }
    position_ += count;
    return static_cast<int32_t>(count);
}

int32_t TdwMemoryStream::Write(std::span<const std::byte> buffer) {
    const std::size_t count =
        std::min(buffer.size(), std::size_t{std::numeric_limits<int32_t>::max()});
    if (position_ + count > data_.size()) {
        data_.resize(position_ + count);
    }
    if (count > 0) {
        std::memcpy(data_.data() + position_, buffer.data(), count);
    }
    position_ += count;
    return static_cast<int32_t>(count);
}

int64_t TdwMemoryStream::Seek(int64_t offset, TdwSeekOrigin origin) {
    int64_t base = 0;
    if (origin == TdwSeekOrigin::Current) {
        base = static_cast<int64_t>(position_);
    } else if (origin == TdwSeekOrigin::End) {
        base = static_cast<int64_t>(data_.size());
    }
    // A position before the start is refused; one past the end reads nothing and
    // a write there fills the gap with zeros.
    const int64_t target = base + offset;
    if (target < 0) {
        throw EdwStreamError(u"Invalid stream position");
    }
    position_ = static_cast<std::size_t>(target);
    return target;
}

}  // namespace tdb

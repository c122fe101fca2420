// The value cell: its storage (inline image, reference, owned buffer) and
// moving it between owners without copying a buffer or leaking one.
#include <cstring>
#include <utility>

#include "types/data_type.h"

namespace tdb {

TTdbDataValue::TTdbDataValue(TTdbDataValue&& other) noexcept
    : FTag(other.FTag),
      FAssigned(other.FAssigned),
      FReference(other.FReference),
      FBuffer(std::move(other.FBuffer)),
      FCapacity(other.FCapacity),
      FBytesInUse(other.FBytesInUse),
      FObject(other.FObject) {
    std::memcpy(FInline, other.FInline, kInlineSize);
    other.DoneValue();
}

TTdbDataValue& TTdbDataValue::operator=(TTdbDataValue&& other) noexcept {
    if (this != &other) {
        FTag = other.FTag;
        FAssigned = other.FAssigned;
        FReference = other.FReference;
        FBuffer = std::move(other.FBuffer);
        FCapacity = other.FCapacity;
        FBytesInUse = other.FBytesInUse;
        FObject = other.FObject;
        std::memcpy(FInline, other.FInline, kInlineSize);
        other.DoneValue();
    }
    return *this;
}

void TTdbDataValue::DoneValue() noexcept {
    FTag = 0;
    FAssigned = false;
    std::memset(FInline, 0, kInlineSize);
    FReference = nullptr;
    FBuffer.reset();
    FCapacity = 0;
    FBytesInUse = 0;
    FObject = nullptr;
}

std::uint8_t* TTdbDataValue::Image() noexcept {
    if (IsReference()) {
        return FReference;
    }
    if (FBuffer) {
        return FBuffer.get();
    }
    switch (ColumnType()) {
        case ctString:
        case ctMemo:
        case ctWideString:
        case ctWideMemo:
            return nullptr;  // no buffer yet: an empty or NULL value
        default:
            // Code 11 is also the Blob's 4-byte block reference, which lives
            // inline; the Blob value itself reads its bytes only from a buffer.
            return FInline;
    }
}

const std::uint8_t* TTdbDataValue::Image() const noexcept {
    return const_cast<TTdbDataValue*>(this)->Image();
}

void TTdbDataValue::SetReferenceImage(TTdbColumnType columnType, std::uint8_t* image) noexcept {
    DoneValue();
    FReference = image;
    SetTag(static_cast<std::int16_t>(static_cast<std::uint16_t>(columnType) | kReferenceBit));
}

void TTdbDataValue::ReserveBuffer(std::size_t bytes) {
    if (bytes <= FCapacity && FBuffer) {
        return;
    }
    auto buffer = std::make_unique<std::uint8_t[]>(bytes);  // zero-filled
    if (FBuffer) {
        std::memcpy(buffer.get(), FBuffer.get(), FCapacity);
    }
    FBuffer = std::move(buffer);
    FCapacity = bytes;
}

}  // namespace tdb

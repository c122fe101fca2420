// Index entries: a 32-bit record number ("DateiVerweis") followed by the key. Link indexes read
// the same bytes as three record numbers and a mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/byte_image.h"

namespace tdb {

// The largest entry any index uses: the record number and a key of up to 32768 bytes.
inline constexpr std::int32_t kTdbLongIndexInfoSize = 32772;

// An entry buffer, sized to its index's entry size.
using TTdbLongIndexInfo = std::vector<std::byte>;

inline std::int32_t GetDateiVerweis(std::span<const std::byte> entry) noexcept {
    return LoadLE<std::int32_t>(entry.data());
}
inline void SetDateiVerweis(std::span<std::byte> entry, std::int32_t recordNo) noexcept {
    StoreLE<std::int32_t>(entry.data(), recordNo);
}

// The link-index reading of an entry.
struct TTdbAdlIndexInfo {
    std::int32_t AdlRecNo = 0;
    std::int32_t ADL_Nr = 0;
    std::int32_t Rec_Nr = 0;
    std::int16_t Mask = 0;

    static constexpr std::int32_t kSize = 14;

    static TTdbAdlIndexInfo Load(std::span<const std::byte> entry) noexcept {
        return {LoadLE<std::int32_t>(entry.data()), LoadLE<std::int32_t>(entry.data() + 4),
                LoadLE<std::int32_t>(entry.data() + 8), LoadLE<std::int16_t>(entry.data() + 12)};
    }
    void Store(std::span<std::byte> entry) const noexcept {
        StoreLE<std::int32_t>(entry.data(), AdlRecNo);
        StoreLE<std::int32_t>(entry.data() + 4, ADL_Nr);
        StoreLE<std::int32_t>(entry.data() + 8, Rec_Nr);
        StoreLE<std::int16_t>(entry.data() + 12, Mask);
    }
};

}  // namespace tdb

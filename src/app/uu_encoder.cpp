// The uuencoder of the update hand-off.
#include "app/uu_encoder.h"

#include <algorithm>

namespace zenkalo {

namespace {

constexpr std::size_t kBytesPerLine = 63;

}  // namespace

char TUUEncoder::symbol(unsigned value) const {
    value &= 63U;
    return value == 0 ? fill_ : static_cast<char>(32 + value);
}

std::string TUUEncoder::encode(std::string_view bytes) const {
    std::string out;
    for (std::size_t start = 0; start < bytes.size(); start += kBytesPerLine) {
        const std::string_view line = bytes.substr(start, kBytesPerLine);
        if (start > 0)
            out += "\r\n";
        out += symbol(static_cast<unsigned>(line.size()));
        for (std::size_t i = 0; i < line.size(); i += 3) {
            const std::size_t left = std::min<std::size_t>(3, line.size() - i);
            const unsigned b0 = static_cast<unsigned char>(line[i]);
            const unsigned b1 = left > 1 ? static_cast<unsigned char>(line[i + 1]) : 0;
            const unsigned b2 = left > 2 ? static_cast<unsigned char>(line[i + 2]) : 0;
            out += symbol(b0 >> 2);
            out += symbol(((b0 & 3U) << 4) | (b1 >> 4));
            out += left > 1 ? symbol(((b1 & 15U) << 2) | (b2 >> 6)) : fill_;
            out += left > 2 ? symbol(b2) : fill_;
        }
    }
    return out;
}

}  // namespace zenkalo

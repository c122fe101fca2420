// The uuencoder the update hand-off writes its information file with: groups of three bytes as
// four characters of a 64-character alphabet that starts with a fill character of its own.
#pragma once

#include <string>
#include <string_view>

namespace zenkalo {

class TUUEncoder {
public:
    // Value 0 is the fill character; 1 to 63 are the characters with codes 33 to 95.
    explicit TUUEncoder(char fill = '`') : fill_(fill) {}

    char fill() const { return fill_; }
    // Encoded lines of at most 63 input bytes, each a length character and the groups,
    // separated by CR LF; a last group of one or two bytes ends in fill characters.
    std::string encode(std::string_view bytes) const;

private:
    char symbol(unsigned value) const;

    char fill_;
};

}  // namespace zenkalo

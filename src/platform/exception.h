// The root of every exception the engine layers raise: a message text in
// UTF-16 (the engine's string type) with a UTF-8 copy for what().
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tdb {

class Exception : public std::exception {
public:
    explicit Exception(std::u16string message);
    explicit Exception(std::string_view utf8Message);

    const std::u16string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    std::u16string message_;
    std::string utf8_;
};

}  // namespace tdb

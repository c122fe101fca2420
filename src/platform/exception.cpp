// The root exception class of the engine layers.
#include "platform/exception.h"

#include "platform/text.h"

namespace tdb {

Exception::Exception(std::u16string message)
    : message_(std::move(message)), utf8_(ToUtf8(message_)) {}

Exception::Exception(std::string_view utf8Message)
    : message_(FromUtf8(utf8Message)), utf8_(ToUtf8(message_)) {}

}  // namespace tdb

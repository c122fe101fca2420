// Failures of values that are not engine errors: text that does not parse,
// numbers that overflow, integer division by zero. Callers above the types
// layer catch them like any other tdb::Exception.
#pragma once

#include "platform/exception.h"

namespace tdb {

// A text that is not a valid value of the wanted type ("\"x\" is not a valid date").
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A value that does not fit its type ("Enum overflow").
class EOverflowError : public Exception {
public:
    using Exception::Exception;
};

// Integer division or remainder by zero.
class EDivByZero : public Exception {
public:
    EDivByZero();
};

}  // namespace tdb

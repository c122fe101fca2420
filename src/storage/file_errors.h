// Exceptions of the file-system layer and its streams.
#pragma once

#include <cstdint>
#include <string>

#include "platform/exception.h"
#include "platform/stream.h"

namespace tdb {

// A file stream whose file cannot be created.
class EdwFileCreateError : public EdwStreamError {
public:
    using EdwStreamError::EdwStreamError;
};

// A file stream asked to create a file that exists already.
class EdwFileAlreadyExistsError : public EdwFileCreateError {
public:
    using EdwFileCreateError::EdwFileCreateError;
};

// A file stream whose file cannot be opened.
class EdwFileOpenError : public EdwStreamError {
public:
    using EdwStreamError::EdwStreamError;
};

// A file stream whose file does not exist.
class EdwFileNotFoundError : public EdwFileOpenError {
public:
    using EdwFileOpenError::EdwFileOpenError;
};

// An input/output operation of a file system that failed; carries the platform error code.
class EdwInOutError : public Exception {
public:
    EdwInOutError(std::u16string message, int32_t error_code)
        : Exception(std::move(message)), FErrorCode(error_code) {}
    int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    int32_t FErrorCode;
};

}  // namespace tdb

// The result codes of the call interface: 0 or positive for success, one of these for a failure.
// Their messages are in the result code table of the error tables. Cursors answer them too, so
// they live below the engine.
#pragma once

#include <cstdint>

namespace tdb {

inline constexpr std::int16_t kTdbOk = 0;
inline constexpr std::int16_t kTdbCannotOpenTable = -1;
inline constexpr std::int16_t kTdbOutOfMemory = -2;  // also: too many tables or cursors
inline constexpr std::int16_t kTdbUnknownColumn = -10;
inline constexpr std::int16_t kTdbRecordDoesNotExist = -11;
inline constexpr std::int16_t kTdbWrongPassword = -12;
inline constexpr std::int16_t kTdbCannotCreateTable = -14;
inline constexpr std::int16_t kTdbInvalidAccess = -15;
inline constexpr std::int16_t kTdbIndexDoesNotExist = -16;
inline constexpr std::int16_t kTdbInvalidRelationHandle = -17;
inline constexpr std::int16_t kTdbInvalidIndexDefinition = -18;
inline constexpr std::int16_t kTdbCannotDeleteRecord = -20;
inline constexpr std::int16_t kTdbCannotWriteRecord = -25;
inline constexpr std::int16_t kTdbTableReadOnly = -30;
inline constexpr std::int16_t kTdbAccessNotPossible = -31;
inline constexpr std::int16_t kTdbIndexNotAvailable = -32;
inline constexpr std::int16_t kTdbInvalidSearchCondition = -44;
inline constexpr std::int16_t kTdbTableLocked = -47;
inline constexpr std::int16_t kTdbCannotDeleteTable = -51;
inline constexpr std::int16_t kTdbCannotCreateSession = -53;
inline constexpr std::int16_t kTdbCannotCreateDatabase = -54;
inline constexpr std::int16_t kTdbNotInEditMode = -57;
inline constexpr std::int16_t kTdbDatabaseNotFound = -58;
inline constexpr std::int16_t kTdbTransactionFailed = -63;
inline constexpr std::int16_t kTdbEngineError = -100;
inline constexpr std::int16_t kTdbInvalidTableHandle = -101;
inline constexpr std::int16_t kTdbEngineException = -102;
inline constexpr std::int16_t kTdbBufferTooSmall = -103;
inline constexpr std::int16_t kTdbInvalidSessionHandle = -105;
inline constexpr std::int16_t kTdbNotSupportedRemote = -107;
inline constexpr std::int16_t kTdbReadError = -201;

}  // namespace tdb

// The engine error numbers that code raises or tests by value, named once for every layer.
// Their message formats are in the engine message table (error_tables.cpp).
#pragma once

#include <cstdint>

namespace tdb {

inline constexpr std::int16_t kTdbErrCannotOpenFile = 1;
inline constexpr std::int16_t kTdbErrReadFile = 2;
inline constexpr std::int16_t kTdbErrWriteFile = 3;
inline constexpr std::int16_t kTdbErrIndexInsert = 4;
inline constexpr std::int16_t kTdbErrIndexDelete = 5;
inline constexpr std::int16_t kTdbErrNoSuitableIndex = 6;
inline constexpr std::int16_t kTdbErrCloseFile = 10;
inline constexpr std::int16_t kTdbErrIndexDataTooLarge = 11;
inline constexpr std::int16_t kTdbErrRecordNotFound = 19;
inline constexpr std::int16_t kTdbErrIndexFileExists = 22;
inline constexpr std::int16_t kTdbErrIndexAlreadyOpen = 23;
inline constexpr std::int16_t kTdbErrInconsistentIndex = 28;
inline constexpr std::int16_t kTdbErrSyntax = 25;
inline constexpr std::int16_t kTdbErrNotUnique = 30;
inline constexpr std::int16_t kTdbErrCannotOpenMemo = 31;
inline constexpr std::int16_t kTdbErrTableAlreadyOpen = 35;
inline constexpr std::int16_t kTdbErrIndexNotFound = 36;
inline constexpr std::int16_t kTdbErrFileNotFound = 37;
inline constexpr std::int16_t kTdbErrInvalidCredentials = 38;
inline constexpr std::int16_t kTdbErrExpressionNotComplete = 41;
inline constexpr std::int16_t kTdbErrTypeMismatch = 44;
inline constexpr std::int16_t kTdbErrCharNotAllowed = 45;
inline constexpr std::int16_t kTdbErrInvalidNumber = 46;
inline constexpr std::int16_t kTdbErrNullNotAllowed = 47;
inline constexpr std::int16_t kTdbErrInvalidParameter = 49;
inline constexpr std::int16_t kTdbErrUnknownIdentifier = 50;
inline constexpr std::int16_t kTdbErrUnknown = 52;
inline constexpr std::int16_t kTdbErrTokenExpected = 56;
inline constexpr std::int16_t kTdbErrColumnCount = 57;
inline constexpr std::int16_t kTdbErrInvalidTableName = 58;
inline constexpr std::int16_t kTdbErrTooManyColumns = 59;
inline constexpr std::int16_t kTdbErrExpressionTooLong = 60;
inline constexpr std::int16_t kTdbErrTooManyLevels = 61;
inline constexpr std::int16_t kTdbErrNoRecordIdColumn = 64;
inline constexpr std::int16_t kTdbErrTooManyIndexes = 67;
inline constexpr std::int16_t kTdbErrDuplicateIdentifier = 71;
inline constexpr std::int16_t kTdbErrFileExists = 72;
inline constexpr std::int16_t kTdbErrTooManyLinkColumns = 73;
inline constexpr std::int16_t kTdbErrValueOutOfRange = 81;
inline constexpr std::int16_t kTdbErrFieldNotFound = 83;
inline constexpr std::int16_t kTdbErrTableNotFound = 88;
inline constexpr std::int16_t kTdbErrIndexWrite = 90;
inline constexpr std::int16_t kTdbErrIndexRead = 91;
inline constexpr std::int16_t kTdbErrTooManyTables = 94;
inline constexpr std::int16_t kTdbErrIndexCorrupt = 95;
inline constexpr std::int16_t kTdbErrInvalidIndexSpec = 98;
inline constexpr std::int16_t kTdbErrOutOfMemory = 99;
inline constexpr std::int16_t kTdbErrTableInUse = 103;
inline constexpr std::int16_t kTdbErrTableLocked = 104;
inline constexpr std::int16_t kTdbErrRecordBeingEdited = 105;
inline constexpr std::int16_t kTdbErrLogin = 106;
inline constexpr std::int16_t kTdbErrInvalidConnectionId = 107;
inline constexpr std::int16_t kTdbErrTimeout = 108;
inline constexpr std::int16_t kTdbErrNetwork = 109;
inline constexpr std::int16_t kTdbErrLocking = 110;
inline constexpr std::int16_t kTdbErrCannotOpenBlob = 111;
inline constexpr std::int16_t kTdbErrCanceled = 114;
inline constexpr std::int16_t kTdbErrNoWriteAccess = 115;
inline constexpr std::int16_t kTdbErrIndexInUse = 116;
inline constexpr std::int16_t kTdbErrUnsupportedFeature = 117;
inline constexpr std::int16_t kTdbErrException = 123;
inline constexpr std::int16_t kTdbErrOldVersion = 124;
inline constexpr std::int16_t kTdbErrFileInUse = 130;
inline constexpr std::int16_t kTdbErrCorruptHeader = 134;
inline constexpr std::int16_t kTdbErrCollationNotFound = 138;
inline constexpr std::int16_t kTdbErrUnknownType = 144;
inline constexpr std::int16_t kTdbErrNoIndexRight = 149;
inline constexpr std::int16_t kTdbErrCannotDelete = 155;
inline constexpr std::int16_t kTdbErrInvalidTimestamp = 158;
inline constexpr std::int16_t kTdbErrNoWriteRight = 160;
inline constexpr std::int16_t kTdbErrConstraintViolated = 167;
inline constexpr std::int16_t kTdbErrLocksOnTable = 170;
inline constexpr std::int16_t kTdbErrCapacity = 171;
inline constexpr std::int16_t kTdbErrInvalidIdentifier = 173;
inline constexpr std::int16_t kTdbErrTableStillAccessed = 175;
inline constexpr std::int16_t kTdbErrInvalidIndexName = 176;
inline constexpr std::int16_t kTdbErrTransactionRunning = 183;
inline constexpr std::int16_t kTdbErrParentTable = 184;
inline constexpr std::int16_t kTdbErrInvalidLockFile = 185;
inline constexpr std::int16_t kTdbErrInvalidPassword = 186;
inline constexpr std::int16_t kTdbErrNotSupported = 187;
inline constexpr std::int16_t kTdbErrStringLength = 189;
// Raised for control flow once the real error is already recorded; never
// stored as a last error and never shown to a user.
inline constexpr std::int16_t kTdbErrNonCritical = 9999;

}  // namespace tdb

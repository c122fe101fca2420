// The engine's call interface: the one door through which everything above the engine reaches
// sessions, the catalog, relations and tables. Flat operations over integer handles; none of
// them raises. Each answers 0 or a positive value on success and a negative result code
// (result_codes.h) on failure; the reason is then the session's last error
// (TdbSessGetLastError).
//
// Handles: a session handle (TdbCreateSession) stands for a session and its open database; a
// relation handle (TdbSessOpenTable) for a table open in that session's catalog; a table handle
// (TdbTableCreate) for a cursor on a relation - an open view with its own position, order, range,
// filters and marks, of which a program keeps one per grid or dataset. What a handle stands for
// belongs to the engine: the caller gives it back with TdbTableDelete, TdbRltnClose and
// TdbSessDelete, and closing a session's database (TdbSessCloseDb, TdbSessDelete) frees its
// cursors too, after which their handles answer -101. A handle is used by one thread at a time.
//
// Buffers belong to the caller and are only read or written during the call. Texts go in as
// zero-terminated UTF-16 texts (null reads as empty). Texts come out into caller buffers with a
// maximum length: at most MaxLen characters and a terminator are written, so a buffer holds
// MaxLen + 1 characters; longer texts are cut. Records go in and out as images laid out as the
// table stores them (TdbTableGetRecordSize bytes; the columns at the positions
// TdbTableGetFieldSpec tells).
//
// Sharing: several sessions and processes may have a table open at once. A cursor shows other
// users' changes once it takes them in: every step reads under a read lock and so sees the table
// as the last writer left it, and TdbTableFirst, TdbTableLast and TdbTableRefresh also rebuild
// what depends on them (filter lists).
#pragma once

#include <cstdint>

#include "api/records.h"
#include "api/result_codes.h"

namespace tdb::api {

// Attribute bits of TdbSessOpenDb.
inline constexpr std::uint16_t kTdbDbReadOnly = 0x01;
inline constexpr std::uint16_t kTdbDbExclusive = 0x02;
inline constexpr std::uint16_t kTdbDbDeepFlush = 0x04;
inline constexpr std::uint16_t kTdbDbSharedReadOnly = 0x08;

// Rights word of TdbSessOpenTable: bits 0-3 write rights (all: 15), exclusive, shared read-only.
inline constexpr std::uint16_t kTdbRightsWrite = 0x000F;
inline constexpr std::uint16_t kTdbRightExclusive = 0x0100;
inline constexpr std::uint16_t kTdbRightSharedReadOnly = 0x0400;

// Asked for the key of a table when the one given does not fit: true hands over the key written
// into Key (at most MaxKeyLen characters and a terminator), false gives up.
using TTdbPasswordFunc = bool (*)(std::int16_t sessHdl, const char16_t* tableName, char16_t* key,
                                  std::int16_t maxKeyLen);
inline constexpr std::int16_t kTdbMaxKeyLen = 80;

// ---- Process and sessions ----

// A new session handle (1..100). A location containing "@" names a database server; -53 when
// no session can be made.
std::int16_t TdbCreateSession(const char16_t* location) noexcept;
// Closes the session's database and frees the session; its handle is free for the next one.
std::int16_t TdbSessDelete(std::int16_t sessHdl) noexcept;
std::int16_t TdbSessGetDefaultNetParams(std::int16_t sessHdl, TTdbNetParams& params) noexcept;
// Station number (0 keeps the drawn one), station name, directories; the private directory is
// created, and failing to create it is no error.
std::int16_t TdbSessSetNetParams(std::int16_t sessHdl, const TTdbNetParams& params) noexcept;
// Null removes the callback.
std::int16_t TdbSessSetPasswordCallback(std::int16_t sessHdl, TTdbPasswordFunc callback) noexcept;
// Both sizes must be positive; -100 otherwise, and nothing changes.
std::int16_t TdbSessSetSystemSettings(std::int16_t sessHdl, std::int32_t indPageSize,
                                      std::int32_t blobBlockSize) noexcept;
// The caret switch only matters to database servers.
std::int16_t TdbSessSetSettings(std::int16_t sessHdl, bool caseSensitive, bool caretSwitch,
                                bool autoCreateIndexes, std::int32_t lockingTimeout) noexcept;
// 0 closes the session log, 1 to 4 open it in the private directory.
std::int16_t TdbSessSetLogLevel(std::int16_t sessHdl, std::int16_t level) noexcept;

// Opens the database at Location (a directory, or a file in it) with Password as the key of
// tables that have none of their own; an open database is closed first. A cache size of 0 or
// less keeps the session's. 0; -58 when there is no database there; -53 for any other failure.
std::int16_t TdbSessOpenDb(std::int16_t sessHdl, const char16_t* location, const char16_t* userName,
                           const char16_t* password, std::int32_t cacheSize,
                           std::uint16_t attributes) noexcept;
std::int16_t TdbSessGetDbInfo(std::int16_t sessHdl, TTdbDatabaseInfo& info) noexcept;
// 1 for a single-file database, 0 for a directory.
std::int16_t TdbSessIsSingleFile(std::int16_t sessHdl) noexcept;
std::int16_t TdbSessCloseDb(std::int16_t sessHdl) noexcept;

// Transactions of the session: start, commit, roll back; -63 on failure (the reason in the
// session's last error).
std::int16_t TdbSessBeginTransaction(std::int16_t sessHdl) noexcept;
std::int16_t TdbSessEndTransaction(std::int16_t sessHdl) noexcept;
std::int16_t TdbSessCancelTransaction(std::int16_t sessHdl) noexcept;
// Lets every open relation of the session take in other users' changes, waiting for a writer
// that still holds its lock: 1 when any had changed, else 0. Cursors show them after their refresh
// (TdbTableRefresh).
std::int16_t TdbSessRegisterModifications(std::int16_t sessHdl) noexcept;
// The isolation level in effect: above 0 while a transaction runs.
std::int16_t TdbSessGetTransactionState(std::int16_t sessHdl) noexcept;
// ErrCode: the negated engine error number of the last error, 0 if none; ErrMsg its message.
std::int16_t TdbSessGetLastError(std::int16_t sessHdl, std::int16_t& errCode, char16_t* errMsg,
                                 std::int16_t maxLen) noexcept;
// The text line the last error was found in; answers the position in it.
std::int16_t TdbSessGetLastErrorPos(std::int16_t sessHdl, char16_t* errMsg,
                                    std::int16_t maxLen) noexcept;

// ---- Catalog ----

// A new relation handle. -100 for an exclusive open on a file system without exclusive files;
// -2 too many tables; -12 wrong key; -1 any other reason; -102 for an unforeseen failure.
// Without the exclusive right the table is shared with other sessions and processes through its
// lock file.
std::int16_t TdbSessOpenTable(std::int16_t sessHdl, const char16_t* tableName, const char16_t* key,
                              std::uint16_t rights, bool withRelTables, bool force) noexcept;
// Opens with all write rights and no key and, in a managed database, registers the table.
std::int16_t TdbSessAddTable(std::int16_t sessHdl, const char16_t* tablePath) noexcept;
// The handle of the open relation of that name; 0 when none is open.
std::int16_t TdbSessFindRltnHdl(std::int16_t sessHdl, const char16_t* name) noexcept;
// 1 when the table exists, 0 when not.
std::int16_t TdbSessExistsTable(std::int16_t sessHdl, const char16_t* tableName) noexcept;
// The table names separated by ";"; answers the length of the whole list.
std::int32_t TdbSessGetTableNames(std::int16_t sessHdl, char16_t* tableNames,
                                  std::int32_t maxLen) noexcept;
// Closes the relations nothing uses.
std::int16_t TdbSessCloseUnneededTables(std::int16_t sessHdl) noexcept;
// Closes the open relation of that name; its files stay. -100 on failure.
std::int16_t TdbSessRemoveTable(std::int16_t sessHdl, const char16_t* tableName) noexcept;
std::int16_t TdbSessRenameTable(std::int16_t sessHdl, const char16_t* oldName,
                                const char16_t* newName, const char16_t* key) noexcept;
// Deletes the table's files. -51 on failure.
std::int16_t TdbSessDeleteTable(std::int16_t sessHdl, const char16_t* tableName,
                                const char16_t* key) noexcept;
// Kind 0 a directory database, 1 a single file; management level 0 unmanaged, 1 managed.
// -54 on failure. The session must have no database open.
std::int16_t TdbSessCreateDatabase(std::int16_t sessHdl, std::int16_t kind, const char16_t* name,
                                   std::int16_t managementLevel, std::int16_t encryptionMethod,
                                   const char16_t* key) noexcept;
// Deletes every table and then every file of the database. -51 on failure.
std::int16_t TdbSessDeleteDatabase(std::int16_t sessHdl, const char16_t* name,
                                   const char16_t* key) noexcept;
// Creates the table that Info (file name, level, collation, encryption, capacity) and the specs
// describe, with Key as its key; it is left closed. -14 on failure. Field specs: FldType a
// column type code, Name, Options 0x20 for nullable (0x01, 0x04 with a formula, 0x40 for a
// unique record-id specification), Param and SelectOrLink as described at TTdbFieldSpec,
// RangeOrFormula a default value or formula. Key specs: IsPrimaryKey, Name, Fields. Check specs:
// Name, SearchCondition. Integrity rules: the foreign key of IndexSpec on MasterIndexSpec of
// MasterTable (which must be open), update and delete actions 0 reject, 1 set null, 2 set
// default, 3 cascade.
std::int16_t TdbSessCreateTable(std::int16_t sessHdl, const TTdbTableInfo& info,
                                const char16_t* key, std::int16_t fieldCount,
                                const TTdbFieldSpec* fields, std::int16_t keyCount,
                                const TTdbKeySpec* keys, std::int16_t checkCount,
                                const TTdbCheckSpec* checks, std::int16_t ruleCount,
                                const TTdbIntegrityRuleSpec* rules) noexcept;
// Copies every open table into a new database: kind 0 a directory. -100 on failure.
std::int16_t TdbSessBackupDatabase(std::int16_t sessHdl, std::int16_t kind,
                                   const char16_t* backupPath) noexcept;

// ---- Relations ----

// -17 for a relation that is not a stored table.
std::int16_t TdbRltnGetTableInfo(std::int16_t rltnHdl, TTdbTableInfo& info) noexcept;
// The index names in index-number order, separated by ",".
std::int16_t TdbRltnGetIndexNames(std::int16_t rltnHdl, char16_t* names,
                                  std::int16_t maxLen) noexcept;
// The specification text of the index: with Readable column names as they are (else "${name}"),
// with IncludeLen 1 the lengths that shorten a column, 2 every length, 0 none. Answers 2 for the
// primary index, 1 for another unique one, 0 otherwise; -16 for an unknown name, -32 when the
// index cannot be opened.
std::int16_t TdbRltnGetIndexDesc(std::int16_t rltnHdl, const char16_t* indexName, char16_t* desc,
                                 std::int16_t maxLen, bool readable,
                                 std::int16_t includeLen) noexcept;
std::int16_t TdbRltnGetRealIndexName(std::int16_t rltnHdl, const char16_t* indexName,
                                     char16_t* realIndexName, std::int16_t maxLen) noexcept;
// Creates and fills the index that the specification text describes ("TELEP, -IRSZ:2");
// the new index number, or -18.
std::int16_t TdbRltnCreateIndex(std::int16_t rltnHdl, const char16_t* indexName,
                                const char16_t* desc, bool mustBeUnique) noexcept;
std::int16_t TdbRltnDeleteIndex(std::int16_t rltnHdl, const char16_t* indexName) noexcept;
// Rebuilds the named index from the records (-16 unknown, -100 failure); an empty name rebuilds
// every index of the table.
std::int16_t TdbRltnRefreshIndex(std::int16_t rltnHdl, const char16_t* indexName) noexcept;
// Whether editing a record of the relation locks it against other users' edits (on by default).
std::int16_t TdbRltnActivateEditLocks(std::int16_t rltnHdl, bool value) noexcept;
// Checks an index against its table: its tree, one entry per record, each entry the key its
// record builds. 1 when it agrees; 0 when not, with what is wrong in Problem; -16 for an unknown
// index; -100 when the table cannot be read.
std::int16_t TdbRltnCheckIndex(std::int16_t rltnHdl, const char16_t* indexName, char16_t* problem,
                               std::int16_t maxLen) noexcept;
// -51 when the relation cannot be closed now.
std::int16_t TdbRltnClose(std::int16_t rltnHdl) noexcept;
// The records of the relation's table, as its last writer left it.
std::int32_t TdbRltnRecordCount(std::int16_t rltnHdl) noexcept;
// Column FieldNo (from 1); -10 for a number the relation does not have.
std::int16_t TdbRltnGetFieldSpec(std::int16_t rltnHdl, std::int16_t fieldNo,
                                 TTdbFieldSpec& spec) noexcept;

// ---- Tables (cursors) ----
// A table handle names one cursor: an open, positioned view of a relation with its own order,
// range, filters and marks. Handles are 1..255, shared by every session of the process; an empty
// slot, 0 or any other number answers -101. Operations without a result of their own answer 0.

// A new cursor on the relation, open and before its first record: its handle, or -2 when all
// 255 handles are taken. Name only identifies the cursor.
std::int16_t TdbTableCreate(std::int16_t rltnHdl, const char16_t* name) noexcept;
// Closes the cursor and frees its handle; a temporary relation nothing uses any more is closed.
std::int16_t TdbTableDelete(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableGetNumFields(std::int16_t tableHdl) noexcept;
// Column Index (from 1); -10 for a number the relation does not have.
std::int16_t TdbTableGetFieldSpec(std::int16_t tableHdl, std::int16_t index,
                                  TTdbFieldSpec& spec) noexcept;
// The column number of a name (without case), 0 when there is none or the name has a ".".
std::int16_t TdbTableGetFieldNo(std::int16_t tableHdl, const char16_t* fieldName) noexcept;
std::int16_t TdbTableGetRltnHdl(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableGetDataType(std::int16_t tableHdl, std::int16_t fieldNo) noexcept;
// The ordinal of an enumeration column's value text.
std::int16_t TdbTableGetEnumValue(std::int16_t tableHdl, std::int16_t fieldNo,
                                  const char16_t* text) noexcept;
// The relation's table level.
std::int16_t TdbTableGetRltnVersion(std::int16_t tableHdl) noexcept;

// The order: an index by name (read backwards when Reverse), or record numbers for an empty
// name. -16 for an index the relation does not have or cannot open.
std::int16_t TdbTableSetIndex(std::int16_t tableHdl, const char16_t* indexName,
                              bool reverse) noexcept;
// The order as a column list ("Name, Code", "-Code"): the index that gives it, made as a
// temporary index when none does. -18 when no index can give it.
std::int16_t TdbTableSetSortOrder(std::int16_t tableHdl, const char16_t* sortOrder) noexcept;
// "Nummer" (record numbers), "Markierung" (the marks) or the index name.
std::int16_t TdbTableGetAccess(std::int16_t tableHdl, char16_t* accessName,
                               std::int16_t textLen) noexcept;

// A range of the current index given as two record images (RecBufSize at least the record
// size): the first FieldCountStart key items of Lower and FieldCountEnd of Upper bound it, a
// count of 0 or less takes every item. -15 unless the order is an index.
std::int16_t TdbTableSetRange(std::int16_t tableHdl, const void* lower, const void* upper,
                              std::int32_t recBufSize, std::int16_t fieldCountStart,
                              std::int16_t fieldCountEnd) noexcept;
std::int16_t TdbTableClearRange(std::int16_t tableHdl) noexcept;

// First and Last take in other users' changes first and answer 1; MoveBy answers 0 (Delta 0
// reads the current record again). All three answer -11 when they run off either end and -201
// for a read that fails.
std::int16_t TdbTableFirst(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableLast(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableMoveBy(std::int16_t tableHdl, std::int32_t delta) noexcept;
// The record number of the current record: -1 before the first, 0 a new record.
std::int32_t TdbTableGetRecNo(std::int16_t tableHdl) noexcept;
// Goes to a record number: the number, or -11 when the record is not in the cursor's view
// (range, filter, list), and then the position stays.
std::int32_t TdbTableSetRecNo(std::int16_t tableHdl, std::int32_t recNo) noexcept;
// The records visible through the cursor; -1 when there are too many to count.
std::int32_t TdbTableGetRowCount(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableGetRecordSize(std::int16_t tableHdl) noexcept;
// Copy the current record (the one being edited while editing) out of and into a caller's
// buffer of at least the record size (-103 otherwise), laid out as the table's records.
std::int16_t TdbTableGetRecord(std::int16_t tableHdl, void* buffer,
                               std::int32_t recBufSize) noexcept;
std::int16_t TdbTableSetRecord(std::int16_t tableHdl, const void* buffer,
                               std::int32_t recBufSize) noexcept;

// A column (from 1) of the current record (the one being edited while editing) as text, as the
// engine writes values (numbers with ".", dates dd.mm.yyyy): answers the text's full length, 0
// for NULL; -10 for a column the table does not have. Setting stores the text into the record;
// an empty text is NULL in a column that is not a string column; -10 as well for a text the
// column cannot take (the reason in the last error).
std::int32_t TdbTableGetFieldAsString(std::int16_t tableHdl, std::int16_t fieldNo, char16_t* text,
                                      std::int32_t maxLen) noexcept;
std::int16_t TdbTableSetFieldAsString(std::int16_t tableHdl, std::int16_t fieldNo,
                                      const char16_t* text) noexcept;
// A record image of the table in a caller's buffer, for searches and ranges: InitRecord makes
// an empty one, SetFieldInRecord stores a column's value given as text (as SetFieldAsString).
std::int16_t TdbTableInitRecord(std::int16_t tableHdl, void* buffer,
                                std::int32_t recBufSize) noexcept;
// A column of a caller's record image as text, as GetFieldAsString: the text's full length, and
// IsNull telling a NULL from an empty text.
std::int32_t TdbTableGetFieldFromRecord(std::int16_t tableHdl, const void* buffer,
                                        std::int32_t recBufSize, std::int16_t fieldNo,
                                        char16_t* text, std::int32_t maxLen, bool& isNull) noexcept;
std::int16_t TdbTableSetFieldInRecord(std::int16_t tableHdl, void* buffer, std::int32_t recBufSize,
                                      std::int16_t fieldNo, const char16_t* text) noexcept;
// The position counted in the cursor's order (from 1), and going to one: the sequence number,
// or -11.
std::int32_t TdbTableGetSequenceNo(std::int16_t tableHdl) noexcept;
std::int32_t TdbTableSetSequenceNo(std::int16_t tableHdl, std::int32_t sequenceNo) noexcept;
// 1: sequence numbers can be had in every order.
std::int16_t TdbTableIsSequenced(std::int16_t tableHdl) noexcept;
// Nearest search on IndexName with the key of the first IndexItemCount key items of a record
// image: the first record at or after the key becomes current and its number is answered; 0
// when there is none. With ExactMatch true only equal keys are found; it comes back telling
// whether the record found equals the key. -16 for an unknown index.
std::int32_t TdbTableLocateRec2(std::int16_t tableHdl, const char16_t* indexName,
                                const void* recordBuffer, std::int32_t recBufSize,
                                std::int16_t indexItemCount, bool& exactMatch) noexcept;
// Whether a record satisfies an SQL condition: 1 or 0; the record becomes current when Mode's
// low four bits are 5. -44 for a condition that does not compile.
std::int16_t TdbTableLocateRec3(std::int16_t tableHdl, const char16_t* searchCondition,
                                std::uint32_t mode) noexcept;

// Editing: Append and Edit begin (-25 and -31, the latter also for a record another user edits
// past the locking time-out), the confirms write (-25; -57 when nothing is being appended or
// edited), the cancels give up. DeleteRec answers -20 when the record cannot be deleted.
std::int16_t TdbTableAppend(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableAppendConfirm(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableAppendCancel(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableEdit(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableEditConfirm(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableEditCancel(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableDeleteRec(std::int16_t tableHdl) noexcept;
// Begins a new record with the current one's values (a new record id).
std::int16_t TdbTableAppendDuplicate(std::int16_t tableHdl) noexcept;
// The record id in the current record buffer (0 when the table has none), and setting it.
std::int32_t TdbTableGetAutoNo(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableSetAutoNo(std::int16_t tableHdl, std::int32_t autoNo) noexcept;
// Deletes every record; -30 when the cursor may not write.
std::int16_t TdbTableEmpty(std::int16_t tableHdl) noexcept;
// LockType 1 a read lock, any other a write lock; a TimeOut other than 0 waits for it. -47 when
// it is refused. Unlock gives back one lock of the type, if the relation holds one.
std::int16_t TdbTableLock(std::int16_t tableHdl, std::int16_t lockType,
                          std::int32_t timeOut) noexcept;
std::int16_t TdbTableUnlock(std::int16_t tableHdl, std::int16_t lockType) noexcept;
// 1 when the cursor may write.
std::int16_t TdbTableCanModify(std::int16_t tableHdl) noexcept;
// Told when a record of the cursor's table was deleted and another took its record number: the
// session, the table handle, the deleted record's number and the moved record's old number.
// Called inside the call that deleted, on its thread; it must not call back into the cursor.
using TTdbTableChangeFunc = void (*)(std::int16_t sessHdl, std::int16_t tableHdl,
                                     std::int32_t deletedRecNo, std::int32_t movedRecNo);
// Null removes the callback.
std::int16_t TdbTableSetChangeCallback(std::int16_t tableHdl,
                                       TTdbTableChangeFunc callback) noexcept;
// Takes in other users' changes (with CheckNet) and rebuilds the filter lists that depend on
// them: 1 when something changed, else 0.
std::int16_t TdbTableRefresh(std::int16_t tableHdl, bool checkNet) noexcept;

// An SQL condition as the cursor's filter, by Mode's low four bits: 1 a static filter (the
// matching records collected), 15 an incremental one (tested while moving); with Background
// prepared, else active at once. Prepared lists only: 3 drops the matching records, 6 keeps only
// them, 7 adds them. An empty text gives no condition. -44 for a condition that does not
// compile (the compiler's message is the last error) or another mode.
std::int16_t TdbTableSetSQLFilter(std::int16_t tableHdl, const char16_t* sqlFilter,
                                  std::uint32_t mode, bool background) noexcept;
// True: the prepared filter becomes the active one; false: the active one goes back to the
// prepared slot. The current record stays when it is still in view.
std::int16_t TdbTableActivateFilter(std::int16_t tableHdl, bool active) noexcept;
// Full-text filters need a full-text index, which tables do not have yet: -44.
std::int16_t TdbTableSetWordFilter(std::int16_t tableHdl, const char16_t* fulltextIndexName,
                                   const char16_t* words, std::uint32_t mode) noexcept;

// The marks: a set of record numbers of the cursor (-11 for a number that is no record). They
// follow records that deletes move, and become the order in "Markierung" access. GotoMark steps
// in the cursor's order to the next marked record (backwards for a negative Delta, from the
// start or end when Restart): 1, or -11 when there is none and the position stays.
// DeleteMarkedRecs answers how many records it deleted.
std::int16_t TdbTableAddMark(std::int16_t tableHdl, std::int32_t recNo) noexcept;
std::int16_t TdbTableRemoveMark(std::int16_t tableHdl, std::int32_t recNo) noexcept;
std::int16_t TdbTableIsMarked(std::int16_t tableHdl, std::int32_t recNo) noexcept;
std::int16_t TdbTableUnmark(std::int16_t tableHdl) noexcept;
std::int16_t TdbTableGotoMark(std::int16_t tableHdl, std::int32_t delta, bool restart) noexcept;
std::int32_t TdbTableDeleteMarkedRecs(std::int16_t tableHdl) noexcept;
// Where two record numbers stand in the cursor's order: 0 before, 1 equal, 2 after. In index
// order the keys of IndexName (the current index when empty) decide; -16 for an unknown index.
std::int16_t TdbTableCompareBookmarks(std::int16_t tableHdl, const char16_t* indexName,
                                      std::int32_t bookmark1, std::int32_t bookmark2) noexcept;

}  // namespace tdb::api

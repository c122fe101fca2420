// The engine message table and the result-code table. The texts are shown to
// users and compared by peers, so they stay exactly as shipped, typos included.
#include "base/error_tables.h"

#include <array>

namespace tdb {

std::u16string_view EngineMessageFormat(int code) noexcept {
    // Index 0 is unused so that the index is the engine error number.
    static constexpr std::array<std::u16string_view, kTdbEngineMessageSlots + 1> kFormats = {
        u"",                                           // 0
        u"Cannot open file \"%s\"",                    // 1
        u"Error while reading from file \"%s\"",       // 2
        u"Error while writing to file \"%s\"",         // 3
        u"Cannot insert into index \"%s\"",            // 4
        u"Cannot delete from index \"%s\"",            // 5
        u"No suitable index found for \"%s\"",         // 6
        u"The search-condition is invalid: %s",        // 7
        u"Import error",                               // 8
        u"Error in output format",                     // 9
        u"Error while closing file \"%s\"",            // 10
        u"Index data too large: %s",                   // 11
        u"Error while opening index \"%s\"",           // 12
        u"Index \"%s\" does not match table",          // 13
        u"\"%s\" is not a data field",                 // 14
        u"",                                           // 15
        u"Cannot link tables in different databases",  // 16
        u"",                                           // 17
        u"Invalid text file handle",                   // 18
        u"Record not found",                           // 19
        u"Module \"%s\" not found. (If this is a call to ExcecMacro, please replace it with a "
        u"direct call, since ExecMacro is not recommended. Read the online-help on ExecMacro)",  // 20
        u"",                                                  // 21
        u"Index file \"%s\" already exists",                  // 22
        u"Index \"%s\" already open",                         // 23
        u"",                                                  // 24
        u"Syntax error in expression \"%s\"",                 // 25
        u"Invalid file name",                                 // 26
        u"",                                                  // 27
        u"Inconsistent definition for index \"%s\"",          // 28
        u"Wrong program file version",                        // 29
        u"Records must be unique with respect to \"%s\"",     // 30
        u"Cannot open memo file \"%s\"",                      // 31
        u"Memo and blob fields not allowed",                  // 32
        u"Error while writing to memo file",                  // 33
        u"Permission to perform this operation not granted",  // 34
        u"A table named \"%s\" is already open",              // 35
        u"Index \"%s\" was not found or is invalid",          // 36
        u"File not found or access denied: \"%s\"",           // 37
        u"The supplied user credentials are invalid",         // 38
        u"",                                                  // 39
        u"",                                                  // 40
        u"Expression not complete",                           // 41
        u"Operator not allowed for operand: %s",              // 42
        u"The value is outside the allowed range: \"%s\"",    // 43
        u"Type mismatch: %s",                                 // 44
        u"The character \"%s\" is not allowed here",          // 45
        u"\"%s\" is not a valid number",                      // 46
        u"\"%s\" does not accept NULL values",                // 47
        u"Logical operand missing",                           // 48
        u"Parameter \"%s\" has an invalid value",             // 49
        u"Unknown identifier \"%s\"",                         // 50
        u"Array variable expected",                           // 51
        u"Unknown error: %s",                                 // 52
        u"Too many variables",                                // 53
        u"'=' missing",                                       // 54
        u"Number expected",                                   // 55
        u"\"%s\" expected but \"%s\" found",                  // 56
        u"The number of columns given does not fit",          // 57
        u"\"%s\" is not a valid table or index name. (These identifiers must be valid file names "
        u"without extension.)",                                                    // 58
        u"Number of columns exceeds 1000 or total record size larger than 32 KB",  // 59
        u"The expression is too long or contains too many nested levels",          // 60
        u"Hierarchical index has too many levels (maximum is 10 for table level 1-4 and 256 from "
        u"table level 5 on)",                                               // 61
        u"",                                                                // 62
        u"",                                                                // 63
        u"Table \"%s\" has no record id column",                            // 64
        u"Table not found for L(NAME) or R(NAME)",                          // 65
        u"Right for restructuring the table \"%s\" is missing",             // 66
        u"Number of indexes per table exceeds the maximum",                 // 67
        u"Selection is empty",                                              // 68
        u"Missing formula",                                                 // 69
        u"Invalid range constraint",                                        // 70
        u"Duplicate identifier \"%s\"",                                     // 71
        u"File or directory \"%s\" already exists",                         // 72
        u"Table may have up to 9 indexed link fields",                      // 73
        u"Up to 15 digits allowed",                                         // 74
        u"Expressions and statements must must not exceed 255 characters",  // 75
        u"More than one auto increment field",                              // 76
        u"Not enough place holders",                                        // 77
        u"Too many place holders",                                          // 78
        u"Not enough space on page",                                        // 79
        u"More than one standard indexes",                                  // 80
        u"Value %s of type %s exceeds the allowed range from %s to %s",     // 81
        u"The command \"%s\" must not be used here",                        // 82
        u"Data field not found: %s",                                        // 83
        u"No standard index defined",                                       // 84
        u"Definition missing",                                              // 85
        u"Report bands have to follow the sequence prologue, header, footer, group, data, epilogue "
        u"and the module type (report, letter, class) must be found in the first line",  // 86
        u"Invalid access",                                                               // 87
        u"Table \"%s\" not found",                                                       // 88
        u"Variable expected",                                                            // 89
        u"Error while writing to index",                                                 // 90
        u"Error while reading from index \"%s\"",                                        // 91
        u"End of subreport not found",                                                   // 92
        u"Keyword not allowed in current area",                                          // 93
        u"Cannot open more than 255 tables per session",                                 // 94
        u"Index \"%s\" is corrupt and must be deleted",                                  // 95
        u"",                                                                             // 96
        u"The block \"%s\" is not terminated correctly",                                 // 97
        u"Invalid index specification \"%s\"",                                           // 98
        u"Not enough memory",                                                            // 99
        u"",                                                                             // 100
        u"Local procedures not permitted",                                               // 101
        u"\"endproc\" expected",                                                         // 102
        u"Table \"%s\" is still in use by this or another application",                  // 103
        u"Table is locked by another session",                                           // 104
        u"Record is being edited by another user",                                       // 105
        u"Error in login",                                                               // 106
        u"Invalid connection id",                                                        // 107
        u"Timeout",                                                                      // 108
        u"Unknown network error",                                                        // 109
        u"Locking error",                                                                // 110
        u"Cannot open blob storage of table \"%s\"",                                     // 111
        u"Memo storage of tables \"%s\" is damaged. Try to repair the table",            // 112
        u"Blob storage of table \"%s\" is damaged. Try to repair the table",             // 113
        u"Operation canceled",                                                           // 114
        u"No write access to file \"%s\"",                                               // 115
        u"Index is in use",                                                              // 116
        u"\"%s\" uses a feature that is not supported by tables of this level: %s",      // 117
        u"The external procedure \"%s\" has either thrown an exception or the dllproc declaration "
        u"is incorrect",                      // 118
        u"External procedure not found: %s",  // 119
        u"Cannot inititialize ODBC",          // 120
        u"Cannot open ODBC data source",      // 121
        u"Error in SQL query",                // 122
        u"Exception: %s",                     // 123
        u"Old version of table file. Please repair/upgrade with a current version of TableDB "
        u"Viewer and try again",                                                        // 124
        u"Cannot assign to constant",                                                   // 125
        u"This procedures needs an object, for which it can be executed",               // 126
        u"Array to large (up to 16 MB allowed)",                                        // 127
        u"Full-text search condition contains an error",                                // 128
        u"The version of the dBase file is unknown",                                    // 129
        u"The file is in use by another user",                                          // 130
        u"",                                                                            // 131
        u"Unknown class \"%s\"",                                                        // 132
        u"Invalid object reference",                                                    // 133
        u"Table is of an unknown version (level > 6) or table file header is corrupt",  // 134
        u"%s",                                                                          // 135
        u"\"%s\" is not a method or property of class \"%s\"",                          // 136
        u"\"%s\" is not a valid date",                                                  // 137
        u"Collation \"%s\" does not exist",                                             // 138
        u"The argument of an aggregate must be a numeric expression",                   // 139
        u"\"%s\" is not a valid time",                                                  // 140
        u"Permission denied to create file \"%s\"",                                     // 141
        u"Permission denied to read file %s",                                           // 142
        u"Field size of field \"%s\" is zero",                                          // 143
        u"Type of column, parameter or variable \"%s\" is not known",                   // 144
        u"Indication for AutoInc field \"%s\" undefined",                               // 145
        u"The join \"%s\" contains an incompatible field pair",                         // 146
        u"All tables within one session must use the same language driver",             // 147
        u"",                                                                            // 148
        u"Permission denied to create an index",                                        // 149
        u"The value list contains more items the the column list",                      // 150
        u"Equate join has exactly one table on each side of the =",                     // 151
        u"DBase III files unable to hold this data structure",                          // 152
        u"External table error: %s",                                                    // 153
        u"Relation table for \"%s\" could not be opened",                               // 154
        u"At least one file could not be deleted (\"%s\")",                             // 155
        u"Memo/blob storage of table \"%s\" exceeds maximum size",                      // 156
        u"AutoInc field must not be modified",                                          // 157
        u"\"%s\" is not a valid timestamp",                                             // 158
        u"LanguageDriver \"%s\" not supported by operating system",                     // 159
        u"Write permission for table %s is missing",                                    // 160
        u"The expression does not evaluate to a value",                                 // 161
        u"The data field \"%s\" is not of the required type",                           // 162
        u"",                                                                            // 163
        u"\"%s\" is not a known type for variables and parameters",                     // 164
        u"Error in OLE function call: %s",                                              // 165
        u"Module uses indirectly itself",                                               // 166
        u"The record violates a constraint: \"%s\"",                                    // 167
        u"Blob field expected",                                                         // 168
        u"Memo field expected",                                                         // 169
        u"There are locks on table \"%s\"",                                             // 170
        u"The maximimum capacity for \"%s\" is reached",                                // 171
        u"The GROUP BY clause must list all aggregated SELECT elements but no non-aggregated "
        u"SELECT element. \"%s\" does not satisfy this rule",  // 172
        u"\"%s\" is not a valid identifier (maximum length is 40 and column names for level 3 and "
        u"below may not contain spaces or other special characters)",  // 173
        u"The identifier \"%s\" is ambigous. Please prefix field names by the table and add a "
        u"dollar sign ($) to differentiate between fields and variables or procedures",  // 174
        u"The table \"%s\" is still accessed by this session",                           // 175
        u"\"%s\" is not a valid index name. Index names must be valid TableDB identifiers and must "
        u"not start with \"sys\" or \"tmpIdx\"",                                 // 176
        u"Not enough arguments given for procedure call",                        // 177
        u"Division by zero",                                                     // 178
        u"No row could be found in the parent table for integrity rule \"%s\"",  // 179
        u"The operation violates integrity rule \"%s\"",                         // 180
        u"The record ist not in edit mode (call NewRec or ModfiyRec)",           // 181
        u"The cursor is not positioned on a valid record",                       // 182
        u"There is already a transaction running",                               // 183
        u"Parent table \"%s\" could not be found or opened",                     // 184
        u"The locking file \"%s\" is either invalid or is not compatible with this application. "
        u"Delete it and try again",  // 185
        u"The password is invalid (too short, too long or misses the numeric code part for classic "
        u"encryption)",                                                                     // 186
        u"This feature is not supported: %s",                                               // 187
        u"Items in the ORDER BY clause must refer to the columns of the result table",      // 188
        u"String type has a length of %d, which is outside the allowed range of %d to %d",  // 189
        u"Ung\u00FCltige Relationstabelle",                                                 // 190
    };
    if (code < 1 || code > kTdbEngineMessageSlots) {
        return {};
    }
    return kFormats[static_cast<std::size_t>(code)];
}

namespace {

constexpr TdbResultCodeEntry kResultCodes[] = {
    {1, u"Unknown error"},
    {0, u"No error"},
    {-1, u"Cannot open table"},
    {-2, u"Out of memory"},
    {-3, u"Cannot open module"},
    {-5, u"Record is invalid"},
    {-7, u"Invalid expression"},
    {-10, u"Unknown table column"},
    {-11, u"The record does not exist"},
    {-12, u"Wrong password"},
    {-14, u"Could not create table"},
    {-15, u"Invalid access"},
    {-16, u"The index does not exist"},
    {-17, u"Invalid relation handle"},
    {-18, u"Invalid index definition"},
    {-19, u"Function can not be called in this context"},
    {-20, u"Cannot delete record"},
    {-21, u"Restructuring of table failed"},
    {-22, u"Relation does not have a record id column"},
    {-23, u"Column has not the correct data type"},
    {-25, u"Could not write record to table"},
    {-26, u"Record violates unique constraint"},
    {-27, u"The index is still in use"},
    {-30, u"The database table is read-only"},
    {-31, u"Table access not possible at this time"},
    {-32, u"Index is not available"},
    {-33, u"Record is null"},
    {-38, u"Record is unchanged"},
    {-40, u"The procedure does not exist"},
    {-41, u"The module does not exist"},
    {-42, u"The procedure already exists"},
    {-43, u"The identifier is not a valid TableDB identifier"},
    {-44, u"Search-condition is invalid"},
    {-45, u"The relation is already open"},
    {-46, u"Error while executing SQL command"},
    {-47, u"The database table is locked"},
    {-48, u"Cannot delete index"},
    {-49, u"Could not close relation"},
    {-50, u"Invalid equate join"},
    {-51, u"Could not delete table"},
    {-52, u"Relation table (*.rel) not found"},
    {-53, u"Could not create session"},
    {-54, u"File already exists, directory not found or no write access"},
    {-55, u"There is already a blob/memo transfer active"},
    {-56, u"There is no active blob/memo transfer"},
    {-57, u"Record is not in edit mode"},
    {-58, u"Database not found"},
    {-59, u"The SQL command has an error at row %d, column %d"},
    {-60, u"Cannot execute SQL command"},
    {-61, u"Compiler error"},
    {-62, u"Error while executing program"},
    {-63, u"Cannot begin or end the transaction"},
    {-64, u"SQL command could not be prepared"},
    {-100, u"Error in TableDB Engine"},
    {-101, u"The table handle is invalid"},
    {-102,
     u"An error occured in the database engine. Please save your work and re-start the "
     u"application"},
    {-103, u"The passed buffer is too small for the data."},
    {-104, u"The statement handle is invalid"},
    {-105, u"The session handle is invalid"},
    {-106,
     u"A timeout occured during the server communication. Check whether the server is available "
     u"and the timeout setting is correct"},
    {-107, u"This function is not supported by the remote server"},
    {-108, u"A communication error with the remote server has been detected"},
    {-201, u"Error while reading from table"},
    {-202, u"The program versions of TableDB server and client are not compatible"},
    {-203, u"Unspecified error"},
    {-204, u"Export failed"},
    {-205, u"Import failed"},
};

}  // namespace

std::span<const TdbResultCodeEntry> ResultCodeTable() noexcept {
    return kResultCodes;
}

std::u16string_view ResultCodeMessage(int code) noexcept {
    std::u16string_view message = kResultCodes[0].Message;
    for (const auto& entry : kResultCodes) {
        if (entry.Code == code) {
            message = entry.Message;
            break;
        }
    }
    return message;
}

}  // namespace tdb

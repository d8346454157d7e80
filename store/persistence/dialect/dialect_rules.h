// What sets one dialect apart: the small table the shared SQL generation reads.
#pragma once

#include "store/persistence/dialect/sql_dialect.h"

enum class PagingStyle { LimitOffsetComma, FirstSkip, LimitOffset };
enum class BlobLiteralStyle { XQuoted, PostgresBytea };

struct DialectRules {
    const char* prefix;          // log prefix: "Mysql", "Pgsql", "Firebird", "Sqlite"
    const char* deleteName;      // name of the delete generator in its log line
    bool logsRowEntry;           // update, insert, delete, create and converter entry lines
    PagingStyle paging;
    bool aliasWithAs;            // " as x " or, without, " x "
    // Catalogue criteria leaves: quoted by type as typed leaves (true) or written as they stand.
    bool quotesFragments;
    const char* trueLiteral;
    const char* falseLiteral;
    bool backslashEscapes;       // MySQL reads a backslash in a literal as an escape
    BlobLiteralStyle blobLiteral;
    bool quotesEveryKey;         // update where part quotes numeric keys too
    bool foreignKeyIndexes;      // INDEX lines after each foreign key group
    std::int32_t varcharExtra;   // added to the maximum size
    const char* createEnd;
    bool convertNeedsDefinition;  // the row converter refuses result sets of unknown tables
    const char* typeNames[23];   // create text per type code; null: no type in this dialect
};

SqlText GenerateSelect(const DialectRules& rules, const SelectQuery* query);
// Columns the held list marks false are left out of the set part (null: every column).
SqlText GenerateUpdate(const DialectRules& rules, const char* table, RowValues row,
                       const std::vector<bool>* heldColumns = nullptr);
SqlText GenerateInsert(const DialectRules& rules, const char* table, RowValues row);
SqlText GenerateDelete(const DialectRules& rules, const char* table, RowValues row);
// "KEY1=v1 and KEY2=v2" of the row's primary-key values (NULL keys left out; empty when
// none is left); none when a key value cannot be written.
SqlText GenerateKeyCondition(const DialectRules& rules, const char* table, RowValues row);
SqlText GenerateCreate(const DialectRules& rules, const char* table);
std::optional<std::vector<ColumnValue>> ConvertResultRow(const DialectRules& rules, const QueryResultSet* result,
                                                         const char* table);
SqlText Literal(const DialectRules& rules, const ColumnValue& value, BYTE type);
// Digits with an optional sign, fraction and exponent: a number SQL reads as it stands.
bool IsNumberText(std::string_view text);
// The text in single quotes, escaped for the dialect; none for text holding a NUL byte.
SqlText QuotedLiteral(const DialectRules& rules, std::string_view text);

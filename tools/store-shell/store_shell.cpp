// store-shell: drives the in-memory store from the command line, the way the sqlite3
// shell drives SQLite. Results go to stdout, diagnostics to stderr as "store-shell: ...".
#include "tools/store-shell/store_shell.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>

#include <fmt/format.h>

#include "runtime/log.h"
#include "runtime/version.h"
#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/dictionary/dictionary.h"
#include "store/notify/notify.h"
#include "store/notify/sqlite_sequence_source.h"
#include "store/persistence/catalogue/stored_query.h"
#include "store/persistence/startup/store_startup.h"
#include "store/tables/tables.h"
#include "store/xml/table_xml.h"

namespace storeshell {
namespace {

constexpr int kOk = 0;
constexpr int kCommandFailed = 1;
constexpr int kUsage = 2;
constexpr int kDictionaryFailed = 3;
constexpr int kLoadFailed = 4;
constexpr int kStartFailed = 5;

constexpr const char* kUsageText =
    "usage: store-shell [OPTIONS] [COMMAND]...\n"
    "Each argument is one command; without commands, one command per line is read from\n"
    "standard input (blank lines and lines starting with # are skipped).\n"
    "\n"
    "Options:\n"
    "  -d, --dictionary PATH  dictionary XML file, or folder holding datadictionary.txt\n"
    "  -l, --load PATH        table-data XML file (after every dictionary)\n"
    "      --seq-db PATH      SQLite file for SeqGenState (default: in memory; none: no ids)\n"
    "      --root DIR         start the store on DIR (its data/ configuration and databases);\n"
    "                         the store is stopped at the end, unsaved changes are dropped\n"
    "  -f, --format tsv|json  output format (default tsv)\n"
    "      --no-header        tsv without the header line\n"
    "      --show-state       a first column #state with the row's state flags\n"
    "      --log PATH         write the store's log there\n"
    "      --log-level 1-4    log level (default 2)\n"
    "      --keep-going       run the remaining commands after a failure\n"
    "  -h, --help             this text\n"
    "      --version          the version\n"
    "\n"
    "Commands (CRITERIA is everything after 'where'; text literals in single quotes):\n"
    "  select TABLE [sort COLUMN [asc|desc]] [where CRITERIA]\n"
    "  row TABLE N\n"
    "  count TABLE [where CRITERIA]\n"
    "  value TABLE COLUMN where CRITERIA\n"
    "  update TABLE set COLUMN = LITERAL where CRITERIA\n"
    "  delete TABLE where CRITERIA | delete TABLE all\n"
    "  nextid TABLE COLUMN\n"
    "  load PATH | dictionary PATH\n"
    "  insert TABLE COLUMN=LITERAL...   (prints the new row's key values)\n"
    "  save TABLE | save all            (with --root: writes changes to the database)\n"
    "  query NAME                       (runs a stored query of the catalogue)\n"
    "  tables | columns TABLE\n"
    "\n"
    "In table-data files an attribute with two or more ':' is special: a text column keeps\n"
    "only what follows the second ':', other non-date columns take it as a row reference\n"
    "TABLE:COLUMN:KEY.\n";

struct Options {
    std::vector<std::string> dictionaries;
    std::vector<std::string> loads;
    std::string seqDb;  // empty: in memory
    std::string root;   // empty: no database behind the store
    bool json = false;
    bool header = true;
    bool showState = false;
    std::string logPath;
    int logLevel = 2;
    bool keepGoing = false;
};

// A command's failure: its exit status and message.
struct Failure {
    int status;
    std::string message;
};

class Shell {
public:
    Shell(const Options& options, std::ostream& out) : options_(options), out_(out) {}

    // Runs one command; none on success.
    std::optional<Failure> Run(const std::string& line);
    std::optional<Failure> LoadDictionary(const std::string& path);
    std::optional<Failure> LoadData(const std::string& path);

private:
    const Options& options_;
    std::ostream& out_;

    std::optional<Failure> Select(const std::string& table, const std::vector<std::string>& words,
                                  const std::optional<std::string>& criteria);
    std::optional<Failure> Update(const std::string& table, const std::string& rest);
    std::optional<Failure> Insert(const std::string& table, const std::string& rest);
    std::optional<Failure> Save(const std::vector<std::string>& words);
    TableData* Table(const std::string& name, std::optional<Failure>* failure);
    std::unique_ptr<ResultData> Query(TableData* table, const std::optional<std::string>& criteria,
                                      std::optional<Failure>* failure);
    struct PrintedRow {
        BYTE state;
        std::span<const ColumnValue> values;
    };
    void PrintRows(const ResultData& result);
    void PrintRows(const QueryResultSet& result);
    void PrintTable(const std::vector<std::string>& names, const std::vector<BYTE>& types,
                    const std::vector<PrintedRow>& rows, bool showState);
};

Failure Fail(std::string message) { return Failure{kCommandFailed, std::move(message)}; }
Failure Usage(std::string message) { return Failure{kUsage, std::move(message)}; }

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

// Splits off everything after the first word "where": (words before, criteria).
std::pair<std::string, std::optional<std::string>> SplitWhere(const std::string& line) {
    std::size_t at = 0;
    while ((at = line.find("where", at)) != std::string::npos) {
        // A "where" inside a quoted literal is text, not the keyword.
        if (std::count(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(at), '\'') % 2) {
            at += 5;
            continue;
        }
        const bool startsWord = at == 0 || std::isspace(static_cast<unsigned char>(line[at - 1]));
        const std::size_t end = at + 5;
        const bool endsWord = end == line.size() || std::isspace(static_cast<unsigned char>(line[end]));
        if (startsWord && endsWord) {
            std::size_t start = end;
            while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start]))) ++start;
            return {line.substr(0, at), line.substr(start)};
        }
        at = end;
    }
    return {line, std::nullopt};
}

bool LooksLikeUnquotedText(const std::string& criteria) {
    for (std::size_t i = 0; i < criteria.size(); ++i) {
        if (criteria[i] != '=' && criteria[i] != '<' && criteria[i] != '>') continue;
        std::size_t j = i + 1;
        while (j < criteria.size() && (criteria[j] == '=' || criteria[j] == '>' || std::isspace(static_cast<unsigned char>(criteria[j])))) ++j;
        if (j < criteria.size() && (std::isalpha(static_cast<unsigned char>(criteria[j])) || criteria[j] == '_')) return true;
    }
    return false;
}

std::string EscapeTsv(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

std::string EscapeJson(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
                else out += c;
        }
    }
    return out + "\"";
}

// A formatted value: its text and whether JSON writes it bare (numbers, booleans).
struct Formatted {
    std::optional<std::string> text;  // none: NULL
    bool bare = false;
    bool binary = false;
};

template <typename Signed, typename Unsigned>
std::optional<std::string> IntegerText(const ColumnValue& value, bool isSigned) {
    // Values are 4 or 8 bytes; a 4-byte value in a 64-bit column is read at its width.
    if (value.length == 4) {
        return isSigned ? std::to_string(*value.As<std::int32_t>()) : std::to_string(*value.As<std::uint32_t>());
    }
    if (value.length == 8) {
        return isSigned ? std::to_string(*value.As<Signed>()) : std::to_string(*value.As<Unsigned>());
    }
    return std::nullopt;
}

Formatted FormatValue(const ColumnValue& value, BYTE type, bool json) {
    if (value.isNull()) return {};
    const std::string_view bytes(value.buffer->data(), std::min<std::size_t>(value.length, value.buffer->size()));
    switch (type) {
        case HYL_SQL_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_INT:
        case HYL_SQL_BIGINT:
            return {IntegerText<std::int64_t, std::uint64_t>(value, true), true};
        case HYL_SQL_UNSIGNED_TINYINT:
        case HYL_SQL_UNSIGNED_SMALLINT:
        case HYL_SQL_UNSIGNED_INT:
        case HYL_SQL_UNSIGNED_LONG_INT:
            return {IntegerText<std::int64_t, std::uint64_t>(value, false), true};
        case HYL_SQL_FLOAT:
        case HYL_SQL_REAL:
        case HYL_SQL_DOUBLE: {
            double number = 0;
            std::string text;
            if (value.length == 4) {
                const float narrow = *value.As<float>();
                number = narrow;
                text = fmt::format("{}", narrow);
            } else if (value.length == 8) {
                number = *value.As<double>();
                text = fmt::format("{}", number);
            } else {
                return {};
            }
            if (json && !std::isfinite(number)) return {};
            return {text, true};
        }
        case HYL_SQL_DATE:
        case HYL_SQL_TIME:
        case HYL_SQL_DATETIME: {
            std::optional<std::string> text = HylValueToText(value, type);
            if (!text) text = HylValueToText(value, HYL_SQL_DATETIME);
            return {text, false};
        }
        case HYL_SQL_BOOLEAN:
            return {std::string(bytes.empty() || bytes[0] == 0 ? "false" : "true"), true};
        case HYL_SQL_DECIMAL:
        case HYL_SQL_NUMERIC:
        case HYL_SQL_CHAR:
        case HYL_SQL_CHARACTER:
        case HYL_SQL_CLOB:
        case HYL_SQL_TEXT:
            return {std::string(bytes), false};
        default: {
            std::string hex = "\\x";
            for (unsigned char c : bytes) hex += fmt::format("{:02x}", c);
            return {hex, false, true};
        }
    }
}

std::string TsvField(const Formatted& value) {
    if (!value.text) return "\\N";
    // The "\x" of a binary value is notation, like "\N"; its hex digits need no escape.
    if (value.binary) return *value.text;
    return EscapeTsv(*value.text);
}

std::string JsonValue(const Formatted& value) {
    if (!value.text) return "null";
    return value.bare ? *value.text : EscapeJson(*value.text);
}

// Booleans are written 1, 0, true or false on the command line; the store reads TRUE/FALSE.
std::string BooleanLiteral(const std::string& literal, BYTE type) {
    if (type != HYL_SQL_BOOLEAN) return literal;
    if (literal == "1" || literal == "true") return "TRUE";
    if (literal == "0" || literal == "false") return "FALSE";
    return literal;
}

TableData* Shell::Table(const std::string& name, std::optional<Failure>* failure) {
    TableData* table = GetTableDataByName(name.c_str());
    if (!table && GetTableDefn(name.c_str())) {
        CreateTable(name.c_str());
        table = GetTableDataByName(name.c_str());
    }
    if (!table) *failure = Fail("unknown table: " + name);
    return table;
}

std::unique_ptr<ResultData> Shell::Query(TableData* table, const std::optional<std::string>& criteria,
                                         std::optional<Failure>* failure) {
    if (criteria) {
        if (!ParseCriteria(criteria->c_str())) {
            std::string message = "criteria do not parse: " + *criteria;
            if (LooksLikeUnquotedText(*criteria)) message += "\nstore-shell: text literals need single quotes, as in NAME='value'";
            *failure = Fail(message);
            return nullptr;
        }
        if (table->kind == KIND_VIEW) {
            *failure = Fail("criteria cannot filter a view: " + table->name);
            return nullptr;
        }
    }
    auto result = SelectRows(table->name.c_str(), criteria ? criteria->c_str() : nullptr);
    if (!result) *failure = Fail("select failed on " + table->name);
    return result;
}

void Shell::PrintRows(const ResultData& result) {
    std::vector<std::string> names;
    for (std::int32_t i = 0; const char* name = GetColumnNameByIndex(i, &result); ++i) names.push_back(name);
    std::vector<BYTE> types;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (result.kind == KIND_VIEW) {
            const ColumnDefn* base = result.viewDefn->columns[i]->baseColumn;
            types.push_back(base ? base->type : 0);
        } else {
            types.push_back(result.tableDefn->columns[i]->type);
        }
    }
    std::vector<PrintedRow> rows;
    rows.reserve(result.entries.size());
    for (const RowObject* row : result.entries) rows.push_back({row->state, row->values});
    PrintTable(names, types, rows, options_.showState);
}

void Shell::PrintRows(const QueryResultSet& result) {
    std::vector<std::string> names;
    std::vector<BYTE> types;
    for (const ResultColumnDescriptor& column : result.columns) {
        names.push_back(column.name);
        types.push_back(column.type);
    }
    std::vector<PrintedRow> rows;
    rows.reserve(result.rows.size());
    for (const ResultRow& row : result.rows) rows.push_back({0, row});
    PrintTable(names, types, rows, false);  // rows of a database query carry no state
}

void Shell::PrintTable(const std::vector<std::string>& names, const std::vector<BYTE>& types,
                       const std::vector<PrintedRow>& rows, bool showState) {
    if (!options_.json && options_.header) {
        std::string line = showState ? "#state" : "";
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i || showState) line += '\t';
            line += EscapeTsv(names[i]);
        }
        out_ << line << '\n';
    }
    for (const PrintedRow& row : rows) {
        const std::span<const ColumnValue> values = row.values;
        std::string line;
        if (options_.json) {
            line = "{";
            if (showState) line += "\"#state\":" + std::to_string(row.state);
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (i || showState) line += ',';
                const Formatted value = i < values.size() ? FormatValue(values[i], types[i], true) : Formatted{};
                line += EscapeJson(names[i]) + ":" + JsonValue(value);
            }
            line += "}";
        } else {
            if (showState) line = std::to_string(row.state);
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (i || showState) line += '\t';
                line += TsvField(i < values.size() ? FormatValue(values[i], types[i], false) : Formatted{});
            }
        }
        out_ << line << '\n';
    }
}

std::optional<Failure> Shell::Select(const std::string& tableName, const std::vector<std::string>& words,
                                     const std::optional<std::string>& criteria) {
    // words: after the table name: [sort COLUMN [asc|desc]]
    std::optional<std::string> sortColumn;
    int ascending = 1;
    if (!words.empty()) {
        if (words[0] != "sort" || words.size() < 2 || words.size() > 3) return Usage("malformed select");
        sortColumn = words[1];
        if (words.size() == 3) {
            if (words[2] == "desc") ascending = 0;
            else if (words[2] != "asc") return Usage("malformed select: " + words[2]);
        }
    }
    std::optional<Failure> failure;
    TableData* table = Table(tableName, &failure);
    if (!table) return failure;
    auto result = Query(table, criteria, &failure);
    if (!result) return failure;
    if (sortColumn && !SortResultSet(result.get(), sortColumn->c_str(), ascending))
        return Fail("unknown column: " + *sortColumn);
    PrintRows(*result);
    return std::nullopt;
}

std::optional<Failure> Shell::Update(const std::string& tableName, const std::string& rest) {
    // rest: set COLUMN = LITERAL where CRITERIA
    auto [head, criteria] = SplitWhere(rest);
    if (!criteria) return Usage("malformed update: where CRITERIA missing");
    std::string text = head;
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) return Usage("malformed update");
    const std::vector<std::string> left = Words(text.substr(0, equals));
    if (left.size() != 2 || left[0] != "set") return Usage("malformed update");
    std::string literal = text.substr(equals + 1);
    literal.erase(0, literal.find_first_not_of(" \t"));
    literal.erase(literal.find_last_not_of(" \t") + 1);
    std::optional<std::string> literalText;
    if (literal.size() >= 2 && literal.front() == '\'' && literal.back() == '\'') {
        literalText = literal.substr(1, literal.size() - 2);
    } else if (literal == "NULL") {
        literalText.reset();
    } else if (!literal.empty() && literal.find_first_not_of("+-0123456789.") == std::string::npos) {
        literalText = literal;
    } else {
        return Usage("malformed literal: " + literal + " (digits, 'text' or NULL)");
    }
    std::optional<Failure> failure;
    TableData* table = Table(tableName, &failure);
    if (!table) return failure;
    const std::optional<std::uint32_t> position = FindColumnPosition(table, left[1].c_str());
    if (!position) return Fail("unknown column: " + left[1]);
    const ColumnDefn* column = GetColumnDefns(table)[*position];
    ColumnValue value;
    if (literalText) {
        value = ConvertTextToColumnValue(BooleanLiteral(*literalText, column ? column->type : 0).c_str(),
                                         column ? column->type : 0, nullptr);
        if (value.isNull()) return Fail("cannot convert " + literal + " for column " + left[1]);
    }
    auto result = Query(table, criteria, &failure);
    if (!result) return failure;
    std::size_t updated = 0;
    for (RowObject* row : result->entries) {
        if (!UpdateRowObject(table->name.c_str(), row, left[1].c_str(), value))
            return Fail("update refused: " + left[1] + " of " + table->name);
        ++updated;
    }
    out_ << updated << '\n';
    return std::nullopt;
}

// Splits "COLUMN=LITERAL ..." into pairs; a literal is 'text' (a quote doubled inside),
// NULL, true, false or a number. None with the reason when malformed.
std::optional<std::vector<std::pair<std::string, std::optional<std::string>>>> ParseAssignments(
    const std::string& text, std::string* error) {
    std::vector<std::pair<std::string, std::optional<std::string>>> pairs;
    std::size_t at = 0;
    auto skipBlanks = [&] {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    };
    for (skipBlanks(); at < text.size(); skipBlanks()) {
        const std::size_t equals = text.find('=', at);
        if (equals == std::string::npos) {
            *error = "malformed assignment: " + text.substr(at);
            return std::nullopt;
        }
        std::string column = text.substr(at, equals - at);
        column.erase(column.find_last_not_of(" \t") + 1);
        if (column.empty() || column.find_first_of(" \t'") != std::string::npos) {
            *error = "malformed column name: " + column;
            return std::nullopt;
        }
        at = equals + 1;
        skipBlanks();
        if (at < text.size() && text[at] == '\'') {
            std::string value;
            bool closed = false;
            for (++at; at < text.size(); ++at) {
                if (text[at] != '\'') {
                    value += text[at];
                } else if (at + 1 < text.size() && text[at + 1] == '\'') {
                    value += '\'';
                    ++at;
                } else {
                    closed = true;
                    ++at;
                    break;
                }
            }
            if (!closed) {
                *error = "unterminated text literal for column " + column;
                return std::nullopt;
            }
            pairs.emplace_back(column, value);
            continue;
        }
        const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
        const std::string word = text.substr(at, end - at);
        at = end;
        if (word == "NULL") pairs.emplace_back(column, std::nullopt);
        else if (word == "true" || word == "false" ||
                 (!word.empty() && word.find_first_not_of("+-0123456789.") == std::string::npos))
            pairs.emplace_back(column, word);
        else {
            *error = "malformed literal: " + word + " (digits, true, false, 'text' or NULL)";
            return std::nullopt;
        }
    }
    if (pairs.empty()) *error = "insert needs COLUMN=LITERAL";
    if (pairs.empty()) return std::nullopt;
    return pairs;
}

std::optional<Failure> Shell::Insert(const std::string& tableName, const std::string& rest) {
    std::string error;
    const auto pairs = ParseAssignments(rest, &error);
    if (!pairs) return Usage(error);
    std::optional<Failure> failure;
    TableData* table = Table(tableName, &failure);
    if (!table) return failure;
    if (table->kind != KIND_TABLE) return Fail("cannot insert into a view: " + table->name);
    const std::vector<const ColumnDefn*> columns = GetColumnDefns(table);
    std::vector<ColumnValue> values(columns.size());
    for (const auto& [column, literal] : *pairs) {
        const std::optional<std::uint32_t> position = FindColumnPosition(table, column.c_str());
        if (!position) return Fail("unknown column: " + column);
        if (!literal) continue;
        const BYTE type = columns[*position] ? columns[*position]->type : 0;
        values[*position] = ConvertTextToColumnValue(BooleanLiteral(*literal, type).c_str(), type, nullptr);
        if (values[*position].isNull()) return Fail("cannot convert " + *literal + " for column " + column);
    }
    std::unique_ptr<RowObject> row = CreateNewRowObject(std::move(values));
    const RowObject* added = row.get();
    if (!AddNewRow(table->name.c_str(), std::move(row))) return Fail("insert refused by " + table->name);
    // The key values (every value for a table without key), tab-separated.
    std::vector<std::size_t> keys;
    if (table->tableDefn && table->tableDefn->constraints)
        for (const std::string& key : table->tableDefn->constraints->primaryKeyColumns)
            if (auto position = FindColumnPosition(table, key.c_str())) keys.push_back(*position);
    if (keys.empty())
        for (std::size_t i = 0; i < columns.size(); ++i) keys.push_back(i);
    std::string line;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i) line += '\t';
        line += TsvField(FormatValue(added->values[keys[i]], columns[keys[i]] ? columns[keys[i]]->type : 0, false));
    }
    out_ << line << '\n';
    return std::nullopt;
}

std::optional<Failure> Shell::Save(const std::vector<std::string>& words) {
    if (words.size() != 2) return Usage("usage: save TABLE | save all");
    if (options_.root.empty()) return Fail("save needs a store started with --root");
    std::vector<std::string> names;
    bool saved = true;
    if (words[1] == "all") {
        for (TableData* table : GetAllTableData())
            if (table->kind == KIND_TABLE) names.push_back(table->name);
        saved = SaveAllTables();
    } else {
        TableData* table = GetTableDataByName(words[1].c_str());
        if (!table || table->kind != KIND_TABLE) return Fail("unknown table: " + words[1]);
        names.push_back(table->name);
        saved = SaveTable(table->name.c_str());
    }
    // Rows whose statement failed, or matched no row of the database, keep their state;
    // say so instead of claiming success.
    std::size_t unsaved = 0;
    for (const std::string& name : names) {
        std::unique_ptr<ResultData> all = SelectRows(name.c_str(), nullptr);
        if (all)
            for (const RowObject* row : all->entries) unsaved += row->state != ROW_SAVED;
    }
    if (unsaved) return Fail(std::to_string(unsaved) + " rows not saved (see the store log)");
    if (!saved) return Fail("cannot save " + words[1] + " (no connection)");
    return std::nullopt;
}

std::optional<Failure> Shell::LoadDictionary(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        std::ifstream listing(std::filesystem::path(path) / "datadictionary.txt");
        if (!listing) return Failure{kDictionaryFailed, "cannot read dictionary listing in " + path};
        std::string name;
        while (listing >> name) {
            const std::string file = (std::filesystem::path(path) / name).string();
            if (!std::filesystem::exists(file, error) || !LoadDataDictFromXMLFile(file.c_str()))
                return Failure{kDictionaryFailed, "cannot read dictionary " + file};
        }
    } else if (!std::filesystem::exists(path, error) || !LoadDataDictFromXMLFile(path.c_str())) {
        return Failure{kDictionaryFailed, "cannot read dictionary " + path};
    }
    return std::nullopt;
}

std::optional<Failure> Shell::LoadData(const std::string& path) {
    if (!LoadTableDataFromXMLFile(path.c_str())) return Failure{kLoadFailed, "cannot load " + path};
    return std::nullopt;
}

std::optional<Failure> Shell::Run(const std::string& line) {
    auto [head, criteria] = SplitWhere(line);
    const std::vector<std::string> words = Words(head);
    if (words.empty()) return Usage("empty command");
    const std::string& keyword = words[0];
    std::optional<Failure> failure;

    if (keyword == "select") {
        if (words.size() < 2) return Usage("select needs a table");
        return Select(words[1], std::vector<std::string>(words.begin() + 2, words.end()), criteria);
    }
    if (keyword == "insert") {
        if (words.size() < 3 || criteria) return Usage("usage: insert TABLE COLUMN=LITERAL...");
        const std::size_t at = line.find(words[1], line.find("insert") + 6) + words[1].size();
        return Insert(words[1], line.substr(at));
    }
    if (keyword == "update") {
        if (words.size() < 2) return Usage("update needs a table");
        const std::size_t at = line.find(words[1], line.find("update") + 6) + words[1].size();
        return Update(words[1], line.substr(at));
    }
    if (keyword == "row") {
        if (words.size() != 3 || criteria) return Usage("usage: row TABLE N");
        char* end = nullptr;
        const long position = std::strtol(words[2].c_str(), &end, 10);
        if (*end || position < INT32_MIN || position > INT32_MAX) return Usage("row position is not a number: " + words[2]);
        TableData* table = Table(words[1], &failure);
        if (!table) return failure;
        auto result = SelectRowByRowIdx(table->name.c_str(), static_cast<std::int32_t>(position));
        if (!result) result = CreateResultData(0, table->columnCount, table);  // beyond the rows: header only
        PrintRows(*result);
        return std::nullopt;
    }
    if (keyword == "count") {
        if (words.size() != 2) return Usage("usage: count TABLE [where CRITERIA]");
        TableData* table = Table(words[1], &failure);
        if (!table) return failure;
        auto result = Query(table, criteria, &failure);
        if (!result) return failure;
        out_ << result->rowCount() << '\n';
        return std::nullopt;
    }
    if (keyword == "value") {
        if (words.size() != 3 || !criteria) return Usage("usage: value TABLE COLUMN where CRITERIA");
        TableData* table = Table(words[1], &failure);
        if (!table) return failure;
        if (!FindColumnPosition(table, words[2].c_str())) return Fail("unknown column: " + words[2]);
        auto result = Query(table, criteria, &failure);
        if (!result) return failure;
        if (!GotoNextRowObject(result.get())) return Fail("no row matches: " + *criteria);
        const ColumnValue* cell = GetColumnValueCellByName(words[2].c_str(), result.get());
        if (!cell || cell->isNull()) return Fail("no value: " + words[2]);
        out_ << TsvField(FormatValue(*cell, GetColumnDefns(table)[*FindColumnPosition(table, words[2].c_str())]->type,
                                     false))
             << '\n';
        return std::nullopt;
    }
    if (keyword == "delete") {
        if (words.size() < 2) return Usage("usage: delete TABLE where CRITERIA | delete TABLE all");
        const bool all = words.size() == 3 && words[2] == "all" && !criteria;
        if (!all && (words.size() != 2 || !criteria)) return Usage("usage: delete TABLE where CRITERIA | delete TABLE all");
        TableData* table = Table(words[1], &failure);
        if (!table) return failure;
        if (all) {
            const std::uint32_t matched = GetLiveRowCount(table->name.c_str());
            if (!DeleteAllTableRowObjects(table->name.c_str())) return Fail("cannot delete from " + table->name);
            out_ << matched << '\n';
            return std::nullopt;
        }
        auto result = Query(table, criteria, &failure);
        if (!result) return failure;
        if (!DeleteRowObjectByCriteria(table->name.c_str(), criteria->c_str())) return Fail("cannot delete from " + table->name);
        out_ << result->rowCount() << '\n';
        return std::nullopt;
    }
    if (criteria) return Usage("unexpected where: " + line);
    if (keyword == "save") return Save(words);
    if (keyword == "query") {
        if (words.size() != 2) return Usage("usage: query NAME");
        if (options_.root.empty()) return Fail("query needs a store started with --root");
        std::unique_ptr<QueryResultSet> result = RunStoredQueryByName(words[1].c_str());
        if (!result) return Fail("query " + words[1] + " failed (see the store log)");
        PrintRows(*result);
        return std::nullopt;
    }
    if (keyword == "nextid") {
        if (words.size() != 3) return Usage("usage: nextid TABLE COLUMN");
        TableData* table = Table(words[1], &failure);
        if (!table) return failure;
        const std::optional<std::uint32_t> position = FindColumnPosition(table, words[2].c_str());
        if (!position) return Fail("unknown column: " + words[2]);
        out_ << GenerateID(table->name.c_str(), GetColumnDefns(table)[*position]) << '\n';
        return std::nullopt;
    }
    if (keyword == "load") {
        if (words.size() != 2) return Usage("usage: load PATH");
        return LoadData(words[1]);
    }
    if (keyword == "dictionary") {
        if (words.size() != 2) return Usage("usage: dictionary PATH");
        return LoadDictionary(words[1]);
    }
    if (keyword == "tables") {
        if (words.size() != 1) return Usage("usage: tables");
        for (TableData* table : GetAllTableData()) {
            out_ << table->name << '\t' << (table->kind == KIND_VIEW ? "view" : "table") << '\t'
                 << GetLiveRowCount(table->name.c_str()) << '\n';
        }
        return std::nullopt;
    }
    if (keyword == "columns") {
        if (words.size() != 2) return Usage("usage: columns TABLE");
        TableData* table = Table(words[1], &failure);
        if (!table) return failure;
        std::vector<std::string> names;
        if (table->kind == KIND_VIEW) {
            for (const auto& column : table->viewDefn->columns) names.push_back(column->name);
        } else {
            for (const auto& column : table->tableDefn->columns) names.push_back(column->name);
        }
        const std::vector<const ColumnDefn*> columns = GetColumnDefns(table);
        for (std::size_t i = 0; i < names.size(); ++i)
            out_ << names[i] << '\t' << static_cast<int>(columns[i] ? columns[i]->type : 0) << '\n';
        return std::nullopt;
    }
    return Usage("unknown command: " + keyword);
}

// Reads the options; none when the command line is malformed (message in error).
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::vector<std::string>* commands,
                                    std::string* error, bool* help, bool* version) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = "option " + arg + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "-d" || arg == "--dictionary") {
            if (!value(&text)) return std::nullopt;
            options.dictionaries.push_back(text);
        } else if (arg == "-l" || arg == "--load") {
            if (!value(&text)) return std::nullopt;
            options.loads.push_back(text);
        } else if (arg == "--seq-db") {
            if (!value(&options.seqDb)) return std::nullopt;
        } else if (arg == "--root") {
            if (!value(&options.root)) return std::nullopt;
        } else if (arg == "-f" || arg == "--format") {
            if (!value(&text)) return std::nullopt;
            if (text != "tsv" && text != "json") {
                *error = "unknown format: " + text;
                return std::nullopt;
            }
            options.json = text == "json";
        } else if (arg == "--no-header") {
            options.header = false;
        } else if (arg == "--show-state") {
            options.showState = true;
        } else if (arg == "--log") {
            if (!value(&options.logPath)) return std::nullopt;
        } else if (arg == "--log-level") {
            if (!value(&text)) return std::nullopt;
            if (text.size() != 1 || text[0] < '1' || text[0] > '4') {
                *error = "log level must be 1 to 4: " + text;
                return std::nullopt;
            }
            options.logLevel = text[0] - '0';
        } else if (arg == "--keep-going") {
            options.keepGoing = true;
        } else if (arg == "-h" || arg == "--help") {
            *help = true;
        } else if (arg == "--version") {
            *version = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option: " + arg;
            return std::nullopt;
        } else {
            commands->push_back(arg);
        }
    }
    if (!options.root.empty() && !options.seqDb.empty()) {
        *error = "--seq-db cannot be used with --root (the store keeps its sequences in its database)";
        return std::nullopt;
    }
    return options;
}

bool OpenShellLog(const Options& options) {
    const std::filesystem::path path = std::filesystem::absolute(options.logPath);
    SetLogDefaults();
    return ConfigureLog(path.filename().string().c_str(), path.parent_path().string().c_str(),
                        static_cast<BYTE>(options.logLevel)) &&
           OpenLog();
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    std::vector<std::string> commands;
    std::string error;
    bool help = false, version = false;
    const std::optional<Options> options = ParseOptions(args, &commands, &error, &help, &version);
    if (!options) {
        err << "store-shell: " << error << "\n" << kUsageText;
        return kUsage;
    }
    if (help) {
        out << kUsageText;
        return kOk;
    }
    if (version) {
        out << "store-shell " VANTORRA_VERSION "\n";
        return kOk;
    }
    if (!options->logPath.empty() && !OpenShellLog(*options)) {
        err << "store-shell: cannot open log " << options->logPath << "\n";
        return kUsage;
    }

    Shell shell(*options, out);
    int status = kOk;
    // Records a failure; true when the run goes on.
    auto report = [&](const std::optional<Failure>& failure) {
        if (!failure) return true;
        err << "store-shell: " << failure->message << "\n";
        if (status == kOk) status = failure->status;
        return options->keepGoing;
    };
    if (!options->root.empty()) {
        if (!InitQuennet(options->root.c_str())) {
            err << "store-shell: cannot start the store on " << options->root << " (see its log)\n";
            DeInitQuennet();
            CloseLog();
            return kStartFailed;
        }
    }
    for (const std::string& path : options->dictionaries) {
        if (!report(shell.LoadDictionary(path))) break;
    }
    std::shared_ptr<SqliteSequenceSource> source;
    if (!options->root.empty()) {
        // The store's own sequence source serves.
    } else if (options->seqDb != "none") {
        std::string openError;
        source = SqliteSequenceSource::Open(options->seqDb.empty() ? ":memory:" : options->seqDb, &openError);
        if (!source) {
            err << "store-shell: cannot open sequence database " << options->seqDb << ": " << openError << "\n";
            return kUsage;
        }
    }
    if (options->root.empty()) {
        SetSequenceDataSource(source);
        InitSequenceState();
        SequenceGenerator();
    }
    bool goOn = status == kOk || options->keepGoing;
    for (const std::string& path : options->loads) {
        if (!goOn) break;
        goOn = report(shell.LoadData(path));
    }
    auto runLine = [&](const std::string& line) {
        out.flush();
        return report(shell.Run(line));
    };
    if (!goOn) {
    } else if (!commands.empty()) {
        for (const std::string& command : commands) {
            if (!runLine(command)) break;
        }
    } else {
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') continue;
            if (!runLine(line)) break;
        }
    }
    out.flush();
    if (!options->root.empty()) DeInitQuennet();
    else SetSequenceDataSource(nullptr);
    CloseLog();
    return status;
}

}  // namespace storeshell

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <mdbtools.h>

namespace morvane::jetreader {

// What the values of a complex column (a 4-byte key into a hidden table)
// are shown as.
enum class Complex { None, MultiValue, Attachments, Versions };

// One column of a table, as the rows store it.
struct Column
{
    std::string name;
    int type = 0;
    // Where the row keeps its null bit: numbers count deleted columns too.
    int rowNumber = 0;
    bool fixed = false;
    int fixedOffset = 0;
    int varIndex = 0;
    int size = 0;
    int scale = 0;
    // A calculated column keeps the expression's result, of this type,
    // behind a header.
    bool calculated = false;
    int resultType = 0;
    Complex complex = Complex::None;
    // Per complex key: the values joined, or the number of versions.
    std::unordered_map<std::uint32_t, std::string> complexTexts;
    std::unordered_map<std::uint32_t, std::uint32_t> complexCounts;
    MdbCatalogEntry *flatTable = nullptr;
    bool complexLoaded = false;
};

struct TableDefDeleter
{
    void operator()(MdbTableDef *table) const { mdb_free_tabledef(table); }
};

// One table of the file; its definition and columns are read when first
// needed.
struct Table
{
    MdbCatalogEntry *entry = nullptr;
    std::string name;
    std::unique_ptr<MdbTableDef, TableDefDeleter> def;
    std::vector<Column> columns;
    bool hasVariableColumns = false;
    std::uint32_t rowEstimate = 0;
    // One of the file's own tables (MSysObjects, MSysQueries, ...): offered
    // read-only like the others, but left out where its definition is
    // damaged rather than refusing the file for it.
    bool system = false;
};

// A name as libmdb keeps it: in a fixed buffer, not always terminated.
inline std::string objectName(const char *name, std::size_t capacity)
{
    return std::string(name, strnlen(name, capacity));
}

} // namespace morvane::jetreader

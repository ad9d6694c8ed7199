#include "ReaderSession.h"

#include "JetReaderProtocol.h"
#include "Damage.h"
#include "ReaderFailure.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <charconv>
#include <limits>

#include <iconv.h>
#include <zlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::jetreader {

namespace {

constexpr char jetSignature[16] = {'S', 't', 'a', 'n', 'd', 'a', 'r', 'd', ' ', 'J', 'e', 't', ' ', 'D', 'B', '\0'};
constexpr char aceSignature[16] = {'S', 't', 'a', 'n', 'd', 'a', 'r', 'd', ' ', 'A', 'C', 'E', ' ', 'D', 'B', '\0'};
constexpr std::size_t signatureOffset = 4;
// The smallest page size; no real file is shorter than two pages.
constexpr off_t smallestFile = 2 * 2048;
constexpr std::size_t prefaultLimit = 16 * 1024 * 1024;

// A memo or OLE value starts with this header: length and kind, then where
// the data lives when it is not in the row.
constexpr std::size_t longValueHeader = 12;
constexpr std::uint32_t longValueInRow = 0x80000000u;
constexpr std::uint32_t longValueOnePage = 0x40000000u;
constexpr std::uint32_t longValueLengthMask = 0x3fffffffu;

} // namespace

ReaderSession::Mapping::~Mapping()
{
    if (address)
        munmap(address, size);
}

void ReaderSession::HandleCloser::operator()(MdbHandle *mdb) const
{
    mdb_close(mdb);
}

ReaderSession::ReaderSession(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw ReaderFailure("It is not a regular file.");
    if (info.st_size < smallestFile)
        throw ReaderFailure("The file is too short to be an Access database.");
    unsigned char header[signatureOffset + sizeof jetSignature];
    if (pread(fd, header, sizeof header, 0) != ssize_t(sizeof header))
        throw ReaderFailure("The file could not be read.");
    if (std::memcmp(header + signatureOffset, jetSignature, sizeof jetSignature) != 0
        && std::memcmp(header + signatureOffset, aceSignature, sizeof aceSignature) != 0)
        throw ReaderFailure("It is not an Access database file.");

    // Read-only and private: nothing libmdb does can reach the file. A small
    // file is mapped in full now, while the program is not waiting for rows.
    m_mapping.size = std::size_t(info.st_size);
    const int populate = m_mapping.size <= prefaultLimit ? MAP_POPULATE : 0;
    void *address = mmap(nullptr, m_mapping.size, PROT_READ, MAP_PRIVATE | populate, fd, 0);
    if (address == MAP_FAILED)
        throw ReaderFailure("The file could not be read.");
    m_mapping.address = address;

    m_mdb.reset(mdb_open_buffer(address, m_mapping.size, MDB_NOFLAGS));
    MdbHandle *mdb = m_mdb.get();
    if (!mdb || !mdb->f || !mdb->fmt)
        throw ReaderFailure("The file is not an Access database this program can read.");
    m_version = std::uint8_t(mdb->f->jet_version);
    m_jet3 = mdb->f->jet_version == MDB_VER_JET3;
    m_codePage = mdb->f->code_page;
    m_pageSize = std::size_t(mdb->fmt->pg_size);
    if (m_pageSize != 2048 && m_pageSize != 4096)
        throw ReaderFailure("The file is not an Access database this program can read.");
    m_pages = std::make_unique<PageReader>(mdb, m_mapping.address, m_mapping.size);

    // Names are converted by libmdb; a Jet 3 file that declares a code page
    // other than Windows' default gets its names read in that code page too.
    // A code page iconv does not know leaves Windows-1252 in place.
    if (m_jet3 && m_codePage != 0 && m_codePage != 1252) {
        const std::string charset = "CP" + std::to_string(m_codePage);
        const iconv_t probe = iconv_open("UTF-8", charset.c_str());
        if (probe != iconv_t(-1)) {
            iconv_close(probe);
            setenv("MDB_JET3_CHARSET", charset.c_str(), 1);
            mdb_iconv_close(mdb);
            mdb_iconv_init(mdb);
        }
    }
    m_encoder = std::make_unique<ValueEncoder>(m_jet3, m_codePage);
    // Touched now rather than during the first scan that meets a memo.
    m_longValue.assign(64 * 1024, '\0');
    m_longPage.assign(m_pageSize, 0);

    GPtrArray *catalog = mdb_read_catalog(mdb, MDB_TABLE);
    if (!catalog)
        throw ReaderFailure("The list of tables in the file is damaged.");
    m_catalog = catalog;
    for (guint i = 0; i < catalog->len; ++i) {
        auto *entry = static_cast<MdbCatalogEntry *>(g_ptr_array_index(catalog, i));
        if (!entry || !mdb_is_user_table(entry))
            continue;
        Table table;
        table.entry = entry;
        table.name = objectName(entry->object_name, sizeof entry->object_name);
        if (table.name.empty())
            throw ReaderFailure("The list of tables in the file is damaged.");
        m_tables.push_back(std::move(table));
    }
}

ReaderSession::~ReaderSession()
{
    // Table definitions refer to the handle; they go first.
    m_tables.clear();
    m_mdb.reset();
}

std::string ReaderSession::hello() const
{
    std::string payload;
    putU32(payload, protocolVersion);
    putU8(payload, m_version);
    putU16(payload, std::uint16_t(m_codePage));
    return payload;
}

void ReaderSession::readDefinition(Table &table, ReplyChannel &channel)
{
    const std::string damage = "The definition of table '" + table.name + "' is damaged.";
    MdbTableDef *def = mdb_read_table(table.entry);
    if (!def)
        throw ReaderFailure(damage);
    table.def.reset(def);
    GPtrArray *columns = mdb_read_columns(def);
    if (!columns || def->num_cols == 0 || def->num_cols > MDB_MAX_COLS || columns->len != def->num_cols)
        throw ReaderFailure(damage);
    table.columns.clear();
    table.hasVariableColumns = false;
    bool complex = false;
    for (guint i = 0; i < columns->len; ++i) {
        const auto *source = static_cast<const MdbColumn *>(g_ptr_array_index(columns, i));
        if (!source)
            throw ReaderFailure(damage);
        Column column;
        column.name = objectName(source->name, sizeof source->name);
        column.type = source->col_type;
        column.rowNumber = source->col_num;
        column.fixed = source->is_fixed != 0;
        column.fixedOffset = source->fixed_offset;
        column.varIndex = int(source->var_col_num);
        column.size = source->col_size;
        // libmdb versions disagree on which byte holds the precision; the
        // scale is never the larger of the two.
        column.scale = std::min(source->col_scale, source->col_prec);
        if (mdb_col_get_prop(source, "Expression")) {
            column.calculated = true;
            const char *result = mdb_col_get_prop(source, "ResultType");
            column.resultType = result ? std::atoi(result) : 0;
            if (column.resultType <= 0 || column.resultType > 0xff)
                column.resultType = column.type;
        }
        if (column.name.empty() || column.rowNumber < 0 || column.fixedOffset < 0 || column.size < 0)
            throw ReaderFailure(damage);
        table.hasVariableColumns = table.hasVariableColumns || !column.fixed;
        complex = complex || column.type == column::complex;
        table.columns.push_back(std::move(column));
    }
    table.rowEstimate = def->num_rows;
    if (complex)
        readComplexColumns(table, channel);
}

MdbCatalogEntry *ReaderSession::entryAt(std::uint32_t page) const
{
    for (guint i = 0; i < m_catalog->len; ++i) {
        auto *entry = static_cast<MdbCatalogEntry *>(g_ptr_array_index(m_catalog, i));
        if (entry && entry->table_pg == page)
            return entry;
    }
    return nullptr;
}

MdbCatalogEntry *ReaderSession::entryNamed(std::string_view name) const
{
    for (guint i = 0; i < m_catalog->len; ++i) {
        auto *entry = static_cast<MdbCatalogEntry *>(g_ptr_array_index(m_catalog, i));
        if (entry && objectName(entry->object_name, sizeof entry->object_name) == name)
            return entry;
    }
    return nullptr;
}

namespace {

// One value of a decoded row, as the protocol encodes it.
struct Decoded
{
    Value tag = Value::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string_view bytes;
};

std::vector<Decoded> splitRow(std::string_view row)
{
    std::vector<Decoded> values;
    PayloadReader reader(row.data(), row.size());
    while (!reader.atEnd() && reader.ok()) {
        Decoded value;
        value.tag = static_cast<Value>(reader.u8());
        switch (value.tag) {
        case Value::Null:
            break;
        case Value::Integer:
            value.integer = std::int64_t(reader.u64());
            break;
        case Value::Real: {
            const std::uint64_t bits = reader.u64();
            std::memcpy(&value.real, &bits, sizeof value.real);
            break;
        }
        case Value::Text:
        case Value::Blob:
            value.bytes = reader.text();
            break;
        }
        values.push_back(value);
    }
    return values;
}

// How one element of a multi-valued field reads in the joined text.
std::string elementText(const Decoded &value)
{
    switch (value.tag) {
    case Value::Integer:
        return std::to_string(value.integer);
    case Value::Real: {
        char buffer[64];
        const auto printed = std::to_chars(buffer, buffer + sizeof buffer, value.real);
        return std::string(buffer, printed.ptr);
    }
    case Value::Text:
        return std::string(value.bytes);
    case Value::Null:
    case Value::Blob:
        break;
    }
    return {};
}

} // namespace

void ReaderSession::readComplexColumns(Table &table, ReplyChannel &channel)
{
    const std::string damage = "The hidden tables behind the complex columns of table '" + table.name + "' are damaged.";
    if (!m_complexColumns) {
        auto complexColumns = std::make_unique<Table>();
        complexColumns->name = "MSysComplexColumns";
        complexColumns->entry = entryNamed(complexColumns->name);
        if (!complexColumns->entry)
            throw ReaderFailure(damage);
        readDefinition(*complexColumns, channel);
        m_complexColumns = std::move(complexColumns);
    }
    Table &directory = *m_complexColumns;
    const auto indexOf = [&](std::string_view name) {
        for (std::size_t i = 0; i < directory.columns.size(); ++i) {
            if (directory.columns[i].name == name)
                return i;
        }
        throw ReaderFailure(damage);
    };
    const std::size_t nameColumn = indexOf("ColumnName");
    const std::size_t tableColumn = indexOf("ConceptualTableID");
    const std::size_t flatColumn = indexOf("FlatTableID");
    const std::size_t typeColumn = indexOf("ComplexTypeObjectID");

    std::string row;
    m_pages->forEachRow(directory.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
        row.clear();
        decodeRow(directory, page, start, end, allColumns, row, channel);
        const std::vector<Decoded> values = splitRow(row);
        if (values.size() != directory.columns.size() || values[tableColumn].integer != std::int64_t(table.entry->table_pg))
            return;
        for (Column &column : table.columns) {
            if (column.type != column::complex || column.name != values[nameColumn].bytes)
                continue;
            MdbCatalogEntry *flat = entryAt(std::uint32_t(values[flatColumn].integer) & 0xffffff);
            MdbCatalogEntry *type = entryAt(std::uint32_t(values[typeColumn].integer) & 0xffffff);
            if (!flat || !type)
                throw ReaderFailure(damage);
            const std::string typeName = objectName(type->object_name, sizeof type->object_name);
            if (typeName == "MSysComplexType_Attachment")
                column.complex = Complex::Attachments;
            else if (typeName.starts_with("MSysComplexType_"))
                column.complex = Complex::MultiValue;
            else
                column.complex = Complex::Versions;
            column.flatTable = flat;
        }
    });
}

void ReaderSession::readComplexValues(Column &column, ReplyChannel &channel)
{
    Table flat;
    flat.entry = column.flatTable;
    flat.name = objectName(flat.entry->object_name, sizeof flat.entry->object_name);
    readDefinition(flat, channel);
    // The key back to the row is a long named "_" and the complex column's
    // first name; the value is the type's own column.
    const std::string valueName = column.complex == Complex::Attachments ? "FileName" : "Value";
    std::size_t key = flat.columns.size();
    std::size_t value = flat.columns.size();
    ColumnMask mask = 0;
    for (std::size_t i = 0; i < flat.columns.size(); ++i) {
        if (flat.columns[i].name.starts_with('_') && flat.columns[i].type == column::longInteger)
            key = i;
        else if (flat.columns[i].name == valueName)
            value = i;
    }
    if (key == flat.columns.size() || (column.complex != Complex::Versions && value == flat.columns.size()))
        throw ReaderFailure("The hidden table '" + flat.name + "' of column '" + column.name + "' is damaged.");
    mask |= ColumnMask(1) << std::min<std::size_t>(key, 63);
    if (value < flat.columns.size())
        mask |= ColumnMask(1) << std::min<std::size_t>(value, 63);

    std::string row;
    m_pages->forEachRow(flat.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
        row.clear();
        decodeRow(flat, page, start, end, mask, row, channel);
        const std::vector<Decoded> values = splitRow(row);
        if (values.size() != flat.columns.size() || values[key].tag != Value::Integer)
            return;
        const auto id = std::uint32_t(values[key].integer);
        if (column.complex == Complex::Versions) {
            ++column.complexCounts[id];
            return;
        }
        std::string &joined = column.complexTexts[id];
        if (values[value].tag == Value::Null)
            return;
        if (!joined.empty())
            joined += "; ";
        joined += elementText(values[value]);
    });
    column.complexLoaded = true;
}

std::uint8_t ReaderSession::shownType(const Column &column)
{
    if (column.calculated)
        return std::uint8_t(column.resultType == 20 ? column::numeric : column.resultType);
    switch (column.complex) {
    case Complex::MultiValue:
    case Complex::Attachments:
        return column::text;
    case Complex::Versions:
        return column::longInteger;
    case Complex::None:
        break;
    }
    return std::uint8_t(column.type);
}

std::string ReaderSession::catalog(ReplyChannel &channel)
{
    for (Table &table : m_tables) {
        if (!table.def)
            readDefinition(table, channel);
        channel.keepAlive();
    }
    addAttachmentTables(channel);
    std::string payload;
    putU32(payload, std::uint32_t(m_tables.size() + m_attachmentTables.size()));
    for (const Table &table : m_tables) {
        putText(payload, table.name);
        putU32(payload, table.rowEstimate);
        putU16(payload, std::uint16_t(table.columns.size()));
        for (const Column &column : table.columns) {
            putText(payload, column.name);
            putU8(payload, shownType(column));
        }
    }
    for (const AttachmentTable &files : m_attachmentTables) {
        putText(payload, files.name);
        putU32(payload, 0);
        putU16(payload, 4);
        for (const auto &[name, type] : {std::pair{"row", column::longInteger}, std::pair{"FileName", column::text},
                                         std::pair{"FileType", column::text}, std::pair{"FileData", column::ole}}) {
            putText(payload, name);
            putU8(payload, type);
        }
    }
    return payload;
}

void ReaderSession::addAttachmentTables(ReplyChannel &channel)
{
    if (m_attachmentTablesAdded)
        return;
    // Which columns hold attachments is known once every definition is read.
    for (Table &table : m_tables) {
        if (!table.def)
            readDefinition(table, channel);
    }
    m_attachmentTablesAdded = true;
    for (std::size_t t = 0; t < m_tables.size(); ++t) {
        for (std::size_t c = 0; c < m_tables[t].columns.size(); ++c) {
            if (m_tables[t].columns[c].complex == Complex::Attachments)
                m_attachmentTables.push_back({m_tables[t].name + "." + m_tables[t].columns[c].name, t, c});
        }
    }
}

std::uint64_t ReaderSession::scan(std::string_view tableName, std::size_t expectedColumns, ColumnMask mask,
                                  std::uint64_t skip, ReplyChannel &channel)
{
    auto found = std::find_if(m_tables.begin(), m_tables.end(),
                              [&](const Table &table) { return table.name == tableName; });
    if (found == m_tables.end()) {
        addAttachmentTables(channel);
        for (const AttachmentTable &files : m_attachmentTables) {
            if (files.name == tableName && expectedColumns == 4)
                return scanAttachments(files, mask, skip, channel);
        }
        throw ReaderFailure("The table '" + std::string(tableName) + "' is no longer in the file.");
    }
    Table &table = *found;
    try {
        if (!table.def)
            readDefinition(table, channel);
        if (table.columns.size() != expectedColumns)
            throw ReaderFailure("The table '" + table.name
                                + "' has changed since the database was opened; open the database again.");
        for (std::size_t index = 0; index < table.columns.size(); ++index) {
            Column &column = table.columns[index];
            if (column.complex != Complex::None && !column.complexLoaded && wanted(mask, index))
                readComplexValues(column, channel);
        }
        std::uint64_t passed = 0;
        std::uint64_t rows = 0;
        m_pages->forEachRow(table.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
            if (passed < skip) {
                ++passed;
                return;
            }
            channel.beginRow();
            decodeRow(table, page, start, end, mask, channel.rowData(), channel);
            channel.endRow();
            ++rows;
        });
        channel.flushRows();
        return rows;
    } catch (const Damage &damage) {
        channel.dropRow();
        throw ReaderFailure("The table '" + table.name + "' could not be read because the file is damaged: "
                            + damage.what);
    } catch (...) {
        channel.dropRow();
        throw;
    }
}

void ReaderSession::decodeRow(const Table &table, const unsigned char *page, std::size_t start, std::size_t end,
                              ColumnMask mask, std::string &out, ReplyChannel &channel)
{
    const unsigned char *row = page + start;
    const std::size_t length = end - start;
    const std::size_t countSize = m_jet3 ? 1 : 2;
    if (length < countSize)
        damaged("a row is cut short.");
    const std::size_t rowColumns = m_jet3 ? row[0] : getU16(row);
    const std::size_t maskSize = (rowColumns + 7) / 8;
    if (length < countSize + maskSize)
        damaged("a row is cut short.");
    const unsigned char *nullMask = row + length - maskSize;

    // Offsets of the variable-length values, relative to the row, and one
    // more where the last one ends.
    std::size_t varCount = 0;
    std::size_t offsets[MDB_MAX_COLS + 1];
    std::size_t fixedEnd = length - maskSize;
    if (table.hasVariableColumns) {
        std::size_t tableStart = 0;
        if (m_jet3) {
            if (length < countSize + maskSize + 1)
                damaged("a row is cut short.");
            varCount = row[length - maskSize - 1];
            // Offsets are single bytes; a jump table says where they pass a
            // multiple of 256.
            std::size_t jumps = (length - 1) / 256;
            if (length < maskSize + jumps + 2 + varCount + countSize)
                damaged("a row is cut short.");
            const std::size_t first = length - maskSize - jumps - 2;
            if ((first - varCount) / 256 < jumps)
                --jumps;
            std::size_t used = 0;
            for (std::size_t i = 0; i <= varCount; ++i) {
                while (used < jumps && i == row[length - maskSize - 2 - used])
                    ++used;
                offsets[i] = row[first - i] + 256 * used;
            }
            tableStart = first - varCount;
        } else {
            if (length < countSize + maskSize + 2)
                damaged("a row is cut short.");
            varCount = getU16(row + length - maskSize - 2);
            if (varCount > MDB_MAX_COLS || length < countSize + maskSize + 2 + 2 * (varCount + 1))
                damaged("a row is cut short.");
            tableStart = length - maskSize - 2 - 2 * (varCount + 1);
            for (std::size_t i = 0; i <= varCount; ++i)
                offsets[i] = getU16(row + length - maskSize - 4 - 2 * i);
        }
        if (varCount > MDB_MAX_COLS)
            damaged("a row has too many values.");
        if (offsets[0] < countSize)
            damaged("the values of a row overlap.");
        for (std::size_t i = 0; i < varCount; ++i) {
            if (offsets[i] > offsets[i + 1])
                damaged("the values of a row overlap.");
        }
        if (offsets[varCount] > tableStart)
            damaged("the values of a row run past its end.");
        fixedEnd = offsets[0];
    }

    for (std::size_t index = 0; index < table.columns.size(); ++index) {
        const Column &column = table.columns[index];
        if (!wanted(mask, index)) {
            ValueEncoder::null(out);
            continue;
        }
        // Null bits, fixed offsets and value slots all follow the numbers
        // the row was written with, which deleted and inserted columns leave
        // different from the columns' order. A column added after the row
        // was written has no bit: it is Null.
        const std::size_t number = std::size_t(column.rowNumber);
        const bool present = number < rowColumns && (nullMask[number / 8] & (1u << (number % 8)));
        if (column.type == column::boolean && !column.calculated) {
            ValueEncoder::integer(out, present ? 1 : 0);
            continue;
        }
        if (!present) {
            ValueEncoder::null(out);
            continue;
        }
        std::size_t valueStart;
        std::size_t valueEnd;
        if (column.fixed) {
            valueStart = countSize + std::size_t(column.fixedOffset);
            valueEnd = valueStart + std::size_t(column.size);
            if (valueEnd > fixedEnd)
                damaged("a value runs past its row.");
        } else {
            if (std::size_t(column.varIndex) >= varCount) {
                ValueEncoder::null(out);
                continue;
            }
            valueStart = offsets[column.varIndex];
            valueEnd = offsets[column.varIndex + 1];
        }
        if (column.calculated)
            decodeCalculated(column, row + valueStart, valueEnd - valueStart, out, channel);
        else if (column.complex != Complex::None)
            decodeComplex(column, row + valueStart, valueEnd - valueStart, out);
        else
            decodeValue(column, row + valueStart, valueEnd - valueStart, out, channel);
    }
}

std::unordered_map<std::uint32_t, std::int64_t> ReaderSession::rowsOfComplexKeys(const Table &table,
                                                                                const Column &column,
                                                                                ReplyChannel &channel)
{
    // The table read once more with just this column, as a long; rows are
    // counted as the table's own scan counts them.
    Column key;
    key.name = column.name;
    key.type = column::longInteger;
    key.rowNumber = column.rowNumber;
    key.fixed = column.fixed;
    key.fixedOffset = column.fixedOffset;
    key.varIndex = column.varIndex;
    key.size = column.size;
    Table keys;
    keys.entry = table.entry;
    keys.name = table.name;
    keys.def.reset(mdb_read_table(table.entry));
    if (!keys.def)
        throw ReaderFailure("The definition of table '" + table.name + "' is damaged.");
    mdb_read_columns(keys.def.get());
    keys.columns.push_back(std::move(key));
    keys.hasVariableColumns = table.hasVariableColumns;

    std::unordered_map<std::uint32_t, std::int64_t> rowOfKey;
    std::int64_t rowNumber = 0;
    std::string row;
    m_pages->forEachRow(keys.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
        row.clear();
        decodeRow(keys, page, start, end, allColumns, row, channel);
        if (std::uint8_t(row[0]) == std::uint8_t(Value::Integer))
            rowOfKey.emplace(std::uint32_t(getU64(reinterpret_cast<const unsigned char *>(row.data()) + 1)),
                             rowNumber);
        ++rowNumber;
    });
    return rowOfKey;
}

std::uint64_t ReaderSession::scanAttachments(const AttachmentTable &files, ColumnMask mask, std::uint64_t skip,
                                             ReplyChannel &channel)
{
    Table &table = m_tables[files.table];
    const Column &column = table.columns[files.column];
    try {
        const std::unordered_map<std::uint32_t, std::int64_t> rowOfKey = rowsOfComplexKeys(table, column, channel);
        std::string row;
        Table flat;
        flat.entry = column.flatTable;
        flat.name = objectName(flat.entry->object_name, sizeof flat.entry->object_name);
        readDefinition(flat, channel);
        std::size_t keyColumn = flat.columns.size();
        std::size_t wantedColumns[3] = {flat.columns.size(), flat.columns.size(), flat.columns.size()};
        const char *names[3] = {"FileName", "FileType", "FileData"};
        ColumnMask flatMask = 0;
        for (std::size_t i = 0; i < flat.columns.size(); ++i) {
            if (flat.columns[i].name.starts_with('_') && flat.columns[i].type == column::longInteger)
                keyColumn = i;
            for (std::size_t w = 0; w < 3; ++w) {
                if (flat.columns[i].name == names[w] && wanted(mask, w + 1))
                    wantedColumns[w] = i;
            }
        }
        if (keyColumn == flat.columns.size())
            throw ReaderFailure("The hidden table '" + flat.name + "' is damaged.");
        flatMask |= ColumnMask(1) << std::min<std::size_t>(keyColumn, 63);
        for (std::size_t w : wantedColumns) {
            if (w < flat.columns.size())
                flatMask |= ColumnMask(1) << std::min<std::size_t>(w, 63);
        }

        std::uint64_t rows = 0;
        std::string stored;
        m_pages->forEachRow(flat.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
            row.clear();
            decodeRow(flat, page, start, end, flatMask, row, channel);
            const std::vector<Decoded> values = splitRow(row);
            if (values.size() != flat.columns.size() || values[keyColumn].tag != Value::Integer)
                return;
            const auto owner = rowOfKey.find(std::uint32_t(values[keyColumn].integer));
            if (owner == rowOfKey.end() || skip > 0) {
                skip -= owner == rowOfKey.end() ? 0 : 1;
                return;
            }
            channel.beginRow();
            std::string &out = channel.rowData();
            ValueEncoder::integer(out, owner->second);
            for (std::size_t w = 0; w < 3; ++w) {
                const std::size_t at = wantedColumns[w];
                if (at >= values.size() || values[at].tag == Value::Null) {
                    ValueEncoder::null(out);
                } else if (w < 2) {
                    ValueEncoder::text(out, values[at].bytes);
                } else {
                    stored.assign(values[at].bytes);
                    decodeAttachment(stored, out);
                }
            }
            channel.endRow();
            ++rows;
        });
        channel.flushRows();
        return rows;
    } catch (const Damage &damage) {
        channel.dropRow();
        throw ReaderFailure("The attachments of table '" + table.name
                            + "' could not be read because the file is damaged: " + damage.what);
    } catch (...) {
        channel.dropRow();
        throw;
    }
}

void ReaderSession::decodeAttachment(const std::string &stored, std::string &out)
{
    constexpr std::uint32_t deflated = 1;
    const auto *data = reinterpret_cast<const unsigned char *>(stored.data());
    if (stored.size() < 8)
        damaged("an attachment is cut short.");
    const std::uint32_t kind = getU32(data);
    const std::uint32_t length = getU32(data + 4);
    if (length > m_mapping.size * 1032)
        damaged("an attachment claims to be larger than any file can hold.");
    std::string plain;
    if (kind == deflated) {
        plain.resize(length);
        uLongf produced = length;
        const int rc
            = uncompress(reinterpret_cast<Bytef *>(plain.data()), &produced, data + 8, uLong(stored.size() - 8));
        // A stream without its closing checksum still gives all the bytes.
        if ((rc != Z_OK && rc != Z_BUF_ERROR) || produced != length)
            damaged("an attachment cannot be inflated.");
    } else {
        plain.assign(stored, 8, std::string::npos);
    }
    // The file follows a header that starts with its own length.
    if (plain.size() < 4 || getU32(reinterpret_cast<const unsigned char *>(plain.data())) > plain.size())
        damaged("an attachment's header is damaged.");
    const std::size_t header = getU32(reinterpret_cast<const unsigned char *>(plain.data()));
    ValueEncoder::blob(out, reinterpret_cast<const unsigned char *>(plain.data()) + header, plain.size() - header);
}

void ReaderSession::decodeCalculated(const Column &column, const unsigned char *data, std::size_t size,
                                     std::string &out, ReplyChannel &channel)
{
    // The result sits behind 16 bytes and its own length.
    constexpr std::size_t header = 20;
    const auto unwrap = [&](const unsigned char *wrapped, std::size_t wrappedSize, std::size_t &length) {
        if (wrappedSize < header)
            damaged("a calculated value is cut short.");
        length = getU32(wrapped + 16);
        if (length > wrappedSize - header)
            damaged("a calculated value runs past its row.");
        return wrapped + header;
    };
    Column result = column;
    result.calculated = false;
    result.type = column.resultType;
    if (result.type == column::memo) {
        // A long text result is stored as a memo whose data is wrapped.
        std::string wrapped;
        readLongValue(data, size, wrapped, channel);
        if (wrapped.empty()) {
            ValueEncoder::null(out);
            return;
        }
        std::size_t length = 0;
        const unsigned char *value
            = unwrap(reinterpret_cast<const unsigned char *>(wrapped.data()), wrapped.size(), length);
        m_encoder->text(out, value, length);
        return;
    }
    std::size_t length = 0;
    const unsigned char *value = unwrap(data, size, length);
    // An expression whose result is Null keeps no value.
    if (length == 0 && result.type != column::text) {
        ValueEncoder::null(out);
        return;
    }
    switch (result.type) {
    case column::boolean:
        if (length < 1)
            damaged("a calculated value is cut short.");
        ValueEncoder::integer(out, value[0] != 0 ? 1 : 0);
        return;
    case column::numeric:
    case 20: {
        // Kept as Windows keeps a decimal: two bytes, scale, sign, then the
        // high 32 bits of the magnitude and the low 64.
        if (length < 16)
            damaged("a calculated value is cut short.");
        const unsigned __int128 magnitude
            = (static_cast<unsigned __int128>(getU32(value + 4)) << 64) | getU64(value + 8);
        ValueEncoder::decimal(out, (value[3] & 0x80) != 0, magnitude, std::min<int>(value[2], 38));
        return;
    }
    default:
        decodeValue(result, value, length, out, channel);
        return;
    }
}

void ReaderSession::decodeComplex(const Column &column, const unsigned char *data, std::size_t size, std::string &out)
{
    if (size < 4)
        damaged("a complex value is cut short.");
    const std::uint32_t id = getU32(data);
    if (column.complex == Complex::Versions) {
        const auto found = column.complexCounts.find(id);
        ValueEncoder::integer(out, found == column.complexCounts.end() ? 0 : found->second);
        return;
    }
    const auto found = column.complexTexts.find(id);
    ValueEncoder::text(out, found == column.complexTexts.end() ? std::string_view() : found->second);
}

void ReaderSession::decodeValue(const Column &column, const unsigned char *data, std::size_t size,
                                std::string &out, ReplyChannel &channel)
{
    const auto need = [size](std::size_t bytes) {
        if (size < bytes)
            damaged("a value is cut short.");
    };
    switch (column.type) {
    case column::byte:
        need(1);
        ValueEncoder::integer(out, data[0]);
        return;
    case column::integer:
        need(2);
        ValueEncoder::integer(out, std::int16_t(getU16(data)));
        return;
    case column::longInteger:
        need(4);
        ValueEncoder::integer(out, std::int32_t(getU32(data)));
        return;
    case column::bigInteger:
        need(8);
        ValueEncoder::integer(out, std::int64_t(getU64(data)));
        return;
    case column::currency:
        need(8);
        ValueEncoder::currency(out, std::int64_t(getU64(data)));
        return;
    case column::single: {
        need(4);
        const std::uint32_t bits = getU32(data);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        ValueEncoder::single(out, value);
        return;
    }
    case column::dbl:
    case column::dateTime: {
        need(8);
        const std::uint64_t bits = getU64(data);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (column.type == column::dbl)
            ValueEncoder::real(out, value);
        else
            ValueEncoder::dateTime(out, value);
        return;
    }
    case column::guid:
        need(16);
        ValueEncoder::guid(out, data);
        return;
    case column::extendedDate:
        decodeExtendedDate(data, size, out);
        return;
    case column::numeric:
        need(17);
        ValueEncoder::numeric(out, data, column.scale);
        return;
    case column::text:
        m_encoder->text(out, data, size);
        return;
    case column::binary:
        ValueEncoder::blob(out, data, size);
        return;
    case column::memo:
    case column::ole: {
        m_longValue.clear();
        readLongValue(data, size, m_longValue, channel);
        const auto *bytes = reinterpret_cast<const unsigned char *>(m_longValue.data());
        if (column.type == column::memo)
            m_encoder->text(out, bytes, m_longValue.size());
        else
            ValueEncoder::blob(out, bytes, m_longValue.size());
        return;
    }
    default:
        // A type this program does not know, such as ACE's attachments.
        ValueEncoder::null(out);
        return;
    }
}

void ReaderSession::decodeExtendedDate(const unsigned char *data, std::size_t size, std::string &out)
{
    // Text: 19 digits of days since 0001-01-01, a colon, 19 digits of the
    // time of day in 100 ns units, a colon and the digits of precision.
    constexpr std::size_t digits = 19;
    if (size < 2 * digits + 1 || data[digits] != ':')
        damaged("a date/time extended value is not in its form.");
    const auto number = [&](const unsigned char *at) {
        std::int64_t value = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            if (at[i] < '0' || at[i] > '9' || value > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
                damaged("a date/time extended value is not in its form.");
            value = value * 10 + (at[i] - '0');
        }
        return value;
    };
    ValueEncoder::extendedDate(out, number(data), number(data + digits + 1));
}

void ReaderSession::readLongValue(const unsigned char *field, std::size_t size, std::string &data,
                                  ReplyChannel &channel)
{
    data.clear();
    if (size == 0)
        return;
    if (size < longValueHeader)
        damaged("a memo or OLE value is cut short.");
    const std::uint32_t header = getU32(field);
    const std::size_t length = header & longValueLengthMask;
    if (length > m_mapping.size)
        damaged("a memo or OLE value is longer than the file.");
    if (header & longValueInRow) {
        if (length > size - longValueHeader)
            damaged("a memo or OLE value runs past its row.");
        data.assign(reinterpret_cast<const char *>(field + longValueHeader), length);
        return;
    }

    std::uint32_t pageRow = getU32(field + 4);
    std::size_t start = 0;
    std::size_t end = 0;
    unsigned flags = 0;
    if (header & longValueOnePage) {
        if (!m_pages->readPage(pageRow >> 8, m_longPage) || !m_pages->rowBounds(m_longPage.data(), pageRow & 0xff, start, end, flags)
            || end - start < length)
            damaged("a memo or OLE value points to a place that does not hold it.");
        data.assign(reinterpret_cast<const char *>(m_longPage.data() + start), length);
        return;
    }
    if ((header & ~longValueLengthMask) != 0)
        damaged("a memo or OLE value is stored in a way this program does not know.");

    // A chain of pieces, each starting with where the next one is.
    data.reserve(length);
    std::size_t remaining = length;
    while (remaining > 0) {
        if (pageRow == 0 || !m_pages->readPage(pageRow >> 8, m_longPage)
            || !m_pages->rowBounds(m_longPage.data(), pageRow & 0xff, start, end, flags) || end - start <= 4)
            damaged("a memo or OLE value points to a place that does not hold it.");
        const std::size_t piece = std::min(end - start - 4, remaining);
        pageRow = getU32(m_longPage.data() + start);
        data.append(reinterpret_cast<const char *>(m_longPage.data() + start + 4), piece);
        remaining -= piece;
        channel.keepAlive();
    }
}

} // namespace morvane::jetreader

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
    m_decoder = std::make_unique<RowDecoder>(*m_pages, m_jet3, m_codePage, m_mapping.size);

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
        m_decoder->decodeRow(directory, page, start, end, allColumns, row, channel);
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
        m_decoder->decodeRow(flat, page, start, end, mask, row, channel);
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
            m_decoder->decodeRow(table, page, start, end, mask, channel.rowData(), channel);
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
        m_decoder->decodeRow(keys, page, start, end, allColumns, row, channel);
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
            m_decoder->decodeRow(flat, page, start, end, flatMask, row, channel);
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

} // namespace morvane::jetreader

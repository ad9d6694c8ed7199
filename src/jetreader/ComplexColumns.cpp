#include "ComplexColumns.h"

#include "Damage.h"
#include "ReaderFailure.h"
#include "ValueEncoder.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>

#include <zlib.h>

namespace morvane::jetreader {

struct ComplexColumns::Decoded
{
    Value tag = Value::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string_view bytes;
};

namespace {

using Decoded = ComplexColumns::Decoded;

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

// The mask bit that asks for column `index`.
ColumnMask bitOf(std::size_t index)
{
    return ColumnMask(1) << std::min<std::size_t>(index, 63);
}

// The key back to the owning row is a long whose name starts with "_".
bool isKeyColumn(const Column &column)
{
    return column.name.starts_with('_') && column.type == column::longInteger;
}

} // namespace

ComplexColumns::ComplexColumns(GPtrArray *catalog, PageReader &pages, RowDecoder &decoder,
                               DefinitionReader readDefinition, std::size_t fileSize)
    : m_catalog(catalog)
    , m_pages(pages)
    , m_decoder(decoder)
    , m_readDefinition(std::move(readDefinition))
    , m_fileSize(fileSize)
{
}

MdbCatalogEntry *ComplexColumns::entryAt(std::uint32_t page) const
{
    for (guint i = 0; i < m_catalog->len; ++i) {
        auto *entry = static_cast<MdbCatalogEntry *>(g_ptr_array_index(m_catalog, i));
        if (entry && entry->table_pg == page)
            return entry;
    }
    return nullptr;
}

MdbCatalogEntry *ComplexColumns::entryNamed(std::string_view name) const
{
    for (guint i = 0; i < m_catalog->len; ++i) {
        auto *entry = static_cast<MdbCatalogEntry *>(g_ptr_array_index(m_catalog, i));
        if (entry && objectName(entry->object_name, sizeof entry->object_name) == name)
            return entry;
    }
    return nullptr;
}

std::vector<ComplexColumns::Decoded> ComplexColumns::decodeRowValues(const Table &table, const unsigned char *page,
                                                                     std::size_t start, std::size_t end,
                                                                     ColumnMask mask, ReplyChannel &channel)
{
    // The values' texts point into m_row: they last until the next row.
    m_row.clear();
    m_decoder.decodeRow(table, page, start, end, mask, m_row, channel);
    return splitRow(m_row);
}

const Table &ComplexColumns::directoryTable(const std::string &damage, ReplyChannel &channel)
{
    if (!m_directory) {
        auto directory = std::make_unique<Table>();
        directory->name = "MSysComplexColumns";
        directory->entry = entryNamed(directory->name);
        if (!directory->entry)
            throw ReaderFailure(damage);
        m_readDefinition(*directory, channel);
        m_directory = std::move(directory);
    }
    return *m_directory;
}

void ComplexColumns::identify(Table &table, ReplyChannel &channel)
{
    const std::string damage = "The hidden tables behind the complex columns of table '" + table.name + "' are damaged.";
    const Table &directory = directoryTable(damage, channel);
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

    m_pages.forEachRow(directory.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
        const std::vector<Decoded> values = decodeRowValues(directory, page, start, end, allColumns, channel);
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

Table ComplexColumns::readFlatTable(const Column &column, ReplyChannel &channel)
{
    Table flat;
    flat.entry = column.flatTable;
    flat.name = objectName(flat.entry->object_name, sizeof flat.entry->object_name);
    m_readDefinition(flat, channel);
    return flat;
}

void ComplexColumns::loadValues(Column &column, ReplyChannel &channel)
{
    const Table flat = readFlatTable(column, channel);
    // The key back to the row is a long named "_" and the complex column's
    // first name; the value is the type's own column.
    const std::string valueName = column.complex == Complex::Attachments ? "FileName" : "Value";
    std::size_t key = flat.columns.size();
    std::size_t value = flat.columns.size();
    for (std::size_t i = 0; i < flat.columns.size(); ++i) {
        if (isKeyColumn(flat.columns[i]))
            key = i;
        else if (flat.columns[i].name == valueName)
            value = i;
    }
    if (key == flat.columns.size() || (column.complex != Complex::Versions && value == flat.columns.size()))
        throw ReaderFailure("The hidden table '" + flat.name + "' of column '" + column.name + "' is damaged.");
    ColumnMask mask = bitOf(key);
    if (value < flat.columns.size())
        mask |= bitOf(value);

    m_pages.forEachRow(flat.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
        const std::vector<Decoded> values = decodeRowValues(flat, page, start, end, mask, channel);
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

std::unordered_map<std::uint32_t, std::int64_t> ComplexColumns::rowsOfComplexKeys(const Table &table,
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
    m_pages.forEachRow(keys.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
        const std::vector<Decoded> values = decodeRowValues(keys, page, start, end, allColumns, channel);
        if (!values.empty() && values.front().tag == Value::Integer)
            rowOfKey.emplace(std::uint32_t(values.front().integer), rowNumber);
        ++rowNumber;
    });
    return rowOfKey;
}

ComplexColumns::AttachmentColumns ComplexColumns::attachmentColumns(const Table &flat, ColumnMask mask)
{
    constexpr const char *names[3] = {"FileName", "FileType", "FileData"};
    AttachmentColumns found;
    found.key = flat.columns.size();
    std::fill(std::begin(found.fields), std::end(found.fields), flat.columns.size());
    for (std::size_t i = 0; i < flat.columns.size(); ++i) {
        if (isKeyColumn(flat.columns[i]))
            found.key = i;
        for (std::size_t w = 0; w < 3; ++w) {
            // Column 0 of the attachment table is the owning row.
            if (flat.columns[i].name == names[w] && wanted(mask, w + 1))
                found.fields[w] = i;
        }
    }
    if (found.key == flat.columns.size())
        throw ReaderFailure("The hidden table '" + flat.name + "' is damaged.");
    found.mask = bitOf(found.key);
    for (std::size_t field : found.fields) {
        if (field < flat.columns.size())
            found.mask |= bitOf(field);
    }
    return found;
}

std::uint64_t ComplexColumns::scanAttachments(const Table &table, const Column &column, ColumnMask mask,
                                              std::uint64_t skip, ReplyChannel &channel)
{
    return scanReportingDamage(channel, "The attachments of table '" + table.name + "'", [&] {
        const std::unordered_map<std::uint32_t, std::int64_t> rowOfKey = rowsOfComplexKeys(table, column, channel);
        const Table flat = readFlatTable(column, channel);
        const AttachmentColumns columns = attachmentColumns(flat, mask);
        std::uint64_t rows = 0;
        m_pages.forEachRow(flat.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
            const std::vector<Decoded> values = decodeRowValues(flat, page, start, end, columns.mask, channel);
            if (values.size() != flat.columns.size() || values[columns.key].tag != Value::Integer)
                return;
            const auto owner = rowOfKey.find(std::uint32_t(values[columns.key].integer));
            if (owner == rowOfKey.end() || skip > 0) {
                skip -= owner == rowOfKey.end() ? 0 : 1;
                return;
            }
            channel.beginRow();
            encodeAttachment(owner->second, values, columns, channel.rowData());
            channel.endRow();
            ++rows;
        });
        channel.flushRows();
        return rows;
    });
}

void ComplexColumns::encodeAttachment(std::int64_t ownerRow, const std::vector<Decoded> &values,
                                      const AttachmentColumns &columns, std::string &out) const
{
    ValueEncoder::integer(out, ownerRow);
    for (std::size_t w = 0; w < 3; ++w) {
        const std::size_t at = columns.fields[w];
        if (at >= values.size() || values[at].tag == Value::Null)
            ValueEncoder::null(out);
        else if (w < 2)
            ValueEncoder::text(out, values[at].bytes);
        else
            decodeAttachment(values[at].bytes, out);
    }
}

void ComplexColumns::decodeAttachment(std::string_view stored, std::string &out) const
{
    constexpr std::uint32_t deflated = 1;
    const auto *data = reinterpret_cast<const unsigned char *>(stored.data());
    if (stored.size() < 8)
        damaged("an attachment is cut short.");
    const std::uint32_t kind = getU32(data);
    const std::uint32_t length = getU32(data + 4);
    if (length > m_fileSize * 1032)
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
        plain.assign(stored.substr(8));
    }
    // The file follows a header that starts with its own length.
    if (plain.size() < 4 || getU32(reinterpret_cast<const unsigned char *>(plain.data())) > plain.size())
        damaged("an attachment's header is damaged.");
    const std::size_t header = getU32(reinterpret_cast<const unsigned char *>(plain.data()));
    ValueEncoder::blob(out, reinterpret_cast<const unsigned char *>(plain.data()) + header, plain.size() - header);
}

} // namespace morvane::jetreader

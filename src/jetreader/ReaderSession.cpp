#include "ReaderSession.h"

#include "JetReaderProtocol.h"
#include "ReaderFailure.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <iconv.h>
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

// Row offsets on a page: the low 13 bits point at the row, the top bits mark
// a deleted row and a row that only points to where its data moved.
constexpr unsigned offsetMask = 0x1fff;
constexpr unsigned deletedRow = 0x8000;
constexpr unsigned movedRow = 0x4000;

// A memo or OLE value starts with this header: length and kind, then where
// the data lives when it is not in the row.
constexpr std::size_t longValueHeader = 12;
constexpr std::uint32_t longValueInRow = 0x80000000u;
constexpr std::uint32_t longValueOnePage = 0x40000000u;
constexpr std::uint32_t longValueLengthMask = 0x3fffffffu;

// Damage found while reading a table; the scan names the table and tells
// the user.
struct Damage
{
    const char *what;
};

[[noreturn]] void damaged(const char *what)
{
    throw Damage{what};
}

std::uint32_t u24(const unsigned char *p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16);
}

std::string objectName(const char *name, std::size_t capacity)
{
    return std::string(name, strnlen(name, capacity));
}

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

void ReaderSession::TableDefDeleter::operator()(MdbTableDef *table) const
{
    mdb_free_tabledef(table);
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
    m_rowCountOffset = mdb->fmt->row_count_offset;
    if (m_pageSize != 2048 && m_pageSize != 4096)
        throw ReaderFailure("The file is not an Access database this program can read.");
    m_pageCount = (m_mapping.size + m_pageSize - 1) / m_pageSize;

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
    m_overflowPage.assign(m_pageSize, 0);

    GPtrArray *catalog = mdb_read_catalog(mdb, MDB_TABLE);
    if (!catalog)
        throw ReaderFailure("The list of tables in the file is damaged.");
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

void ReaderSession::readDefinition(Table &table)
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
    for (guint i = 0; i < columns->len; ++i) {
        const auto *source = static_cast<const MdbColumn *>(g_ptr_array_index(columns, i));
        if (!source)
            throw ReaderFailure(damage);
        Column column;
        column.name = objectName(source->name, sizeof source->name);
        column.type = source->col_type;
        column.number = source->col_num;
        column.fixed = source->is_fixed != 0;
        column.fixedOffset = source->fixed_offset;
        column.varIndex = int(source->var_col_num);
        column.size = source->col_size;
        // libmdb versions disagree on which byte holds the precision; the
        // scale is never the larger of the two.
        column.scale = std::min(source->col_scale, source->col_prec);
        if (column.name.empty() || column.number < 0 || column.fixedOffset < 0 || column.size < 0)
            throw ReaderFailure(damage);
        table.hasVariableColumns = table.hasVariableColumns || !column.fixed;
        table.columns.push_back(std::move(column));
    }
    table.rowEstimate = def->num_rows;
}

std::string ReaderSession::catalog(ReplyChannel &channel)
{
    std::string payload;
    putU32(payload, std::uint32_t(m_tables.size()));
    for (Table &table : m_tables) {
        if (!table.def)
            readDefinition(table);
        channel.keepAlive();
        putText(payload, table.name);
        putU32(payload, table.rowEstimate);
        putU16(payload, std::uint16_t(table.columns.size()));
        for (const Column &column : table.columns) {
            putText(payload, column.name);
            putU8(payload, std::uint8_t(column.type));
        }
    }
    return payload;
}

bool ReaderSession::readPage(std::uint32_t number, std::vector<unsigned char> &page)
{
    if (number == 0 || number >= m_pageCount)
        return false;
    MdbHandle *mdb = m_mdb.get();
    if (mdb_read_alt_pg(mdb, number) != ssize_t(m_pageSize))
        return false;
    page.assign(mdb->alt_pg_buf, mdb->alt_pg_buf + m_pageSize);
    return true;
}

bool ReaderSession::rowBounds(const unsigned char *page, unsigned row, std::size_t &start, std::size_t &end,
                              unsigned &flags) const
{
    const unsigned rows = getU16(page + m_rowCountOffset);
    const std::size_t tableEnd = m_rowCountOffset + 2 + 2 * std::size_t(rows);
    if (row >= rows || tableEnd > m_pageSize)
        return false;
    const unsigned offset = getU16(page + m_rowCountOffset + 2 + 2 * row);
    flags = offset & (deletedRow | movedRow);
    start = offset & offsetMask;
    end = row == 0 ? m_pageSize : (getU16(page + m_rowCountOffset + 2 * row) & offsetMask);
    return start >= tableEnd && start <= end && end <= m_pageSize;
}

std::uint64_t ReaderSession::scan(std::string_view tableName, std::size_t expectedColumns, ColumnMask mask,
                                  ReplyChannel &channel)
{
    auto found = std::find_if(m_tables.begin(), m_tables.end(),
                              [&](const Table &table) { return table.name == tableName; });
    if (found == m_tables.end())
        throw ReaderFailure("The table '" + std::string(tableName) + "' is no longer in the file.");
    Table &table = *found;
    try {
        if (!table.def)
            readDefinition(table);
        if (table.columns.size() != expectedColumns)
            throw ReaderFailure("The table '" + table.name
                                + "' has changed since the database was opened; open the database again.");

        MdbHandle *mdb = m_mdb.get();
        MdbTableDef *def = table.def.get();
        mdb_rewind_table(def);
        std::vector<unsigned char> page(m_pageSize);
        std::uint64_t rows = 0;
        int lastPage = 0;
        for (;;) {
            const int next = mdb_read_next_dpg(def);
            if (next <= 0)
                break;
            // Pages come in ascending order; anything else is a damaged page
            // map that would otherwise hand out the same rows forever.
            if (next <= lastPage)
                damaged("its list of pages is out of order.");
            lastPage = next;
            std::memcpy(page.data(), mdb->pg_buf, m_pageSize);
            const unsigned rowCount = getU16(page.data() + m_rowCountOffset);
            for (unsigned row = 0; row < rowCount; ++row) {
                std::size_t start = 0;
                std::size_t end = 0;
                unsigned flags = 0;
                // Like libmdb, a row whose bounds make no sense is passed over.
                if (!rowBounds(page.data(), row, start, end, flags) || (flags & deletedRow) || start == end)
                    continue;
                if (flags & movedRow) {
                    // The row outgrew its page: here is only where it went.
                    if (end - start < 4)
                        damaged("a moved row points nowhere.");
                    const unsigned targetRow = page[start];
                    const std::uint32_t targetPage = u24(page.data() + start + 1);
                    std::size_t movedStart = 0;
                    std::size_t movedEnd = 0;
                    unsigned movedFlags = 0;
                    if (!readPage(targetPage, m_overflowPage)
                        || !rowBounds(m_overflowPage.data(), targetRow, movedStart, movedEnd, movedFlags)
                        || (movedFlags & movedRow) || movedStart == movedEnd)
                        damaged("a moved row points to a place that holds no row.");
                    decodeRow(table, m_overflowPage.data(), movedStart, movedEnd, mask, channel);
                } else {
                    decodeRow(table, page.data(), start, end, mask, channel);
                }
                ++rows;
            }
            channel.keepAlive();
        }
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
                              ColumnMask mask, ReplyChannel &channel)
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

    channel.beginRow();
    std::string &out = channel.rowData();
    for (std::size_t index = 0; index < table.columns.size(); ++index) {
        const Column &column = table.columns[index];
        if (!wanted(mask, index)) {
            ValueEncoder::null(out);
            continue;
        }
        const std::size_t number = std::size_t(column.number);
        // A column added after the row was written has no bit: it is Null.
        const bool present = number < rowColumns && (nullMask[number / 8] & (1u << (number % 8)));
        if (column.type == column::boolean) {
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
        decodeValue(column, row + valueStart, valueEnd - valueStart, out, channel);
    }
    channel.endRow();
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
        if (!readPage(pageRow >> 8, m_longPage) || !rowBounds(m_longPage.data(), pageRow & 0xff, start, end, flags)
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
        if (pageRow == 0 || !readPage(pageRow >> 8, m_longPage)
            || !rowBounds(m_longPage.data(), pageRow & 0xff, start, end, flags) || end - start <= 4)
            damaged("a memo or OLE value points to a place that does not hold it.");
        const std::size_t piece = std::min(end - start - 4, remaining);
        pageRow = getU32(m_longPage.data() + start);
        data.append(reinterpret_cast<const char *>(m_longPage.data() + start + 4), piece);
        remaining -= piece;
        channel.keepAlive();
    }
}

} // namespace morvane::jetreader

#include "RowDecoder.h"

#include "Damage.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace morvane::jetreader {

namespace {

// A memo or OLE value starts with this header: length and kind, then where
// the data lives when it is not in the row.
constexpr std::size_t longValueHeader = 12;
constexpr std::uint32_t longValueInRow = 0x80000000u;
constexpr std::uint32_t longValueOnePage = 0x40000000u;
constexpr std::uint32_t longValueLengthMask = 0x3fffffffu;

// A calculated result sits behind 16 bytes and its own length.
constexpr std::size_t calculatedHeader = 20;

const unsigned char *unwrapCalculated(const unsigned char *wrapped, std::size_t wrappedSize, std::size_t &length)
{
    if (wrappedSize < calculatedHeader)
        damaged("a calculated value is cut short.");
    length = getU32(wrapped + 16);
    if (length > wrappedSize - calculatedHeader)
        damaged("a calculated value runs past its row.");
    return wrapped + calculatedHeader;
}

// The bytes a value of a type of fixed size takes; 0 for the other types.
std::size_t fixedSize(int type)
{
    switch (type) {
    case column::byte:
        return 1;
    case column::integer:
        return 2;
    case column::longInteger:
    case column::single:
        return 4;
    case column::bigInteger:
    case column::currency:
    case column::dbl:
    case column::dateTime:
        return 8;
    case column::guid:
        return 16;
    case column::numeric:
        return 17;
    default:
        return 0;
    }
}

float singleAt(const unsigned char *data)
{
    const std::uint32_t bits = getU32(data);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

double doubleAt(const unsigned char *data)
{
    const std::uint64_t bits = getU64(data);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

RowDecoder::RowDecoder(PageReader &pages, bool jet3, int codePage, std::size_t fileSize)
    : m_pages(pages)
    , m_encoder(jet3, codePage)
    , m_jet3(jet3)
    , m_fileSize(fileSize)
    // Touched now rather than during the first scan that meets a memo.
    , m_longPage(pages.pageSize(), 0)
    , m_longValue(64 * 1024, '\0')
{
}

void RowDecoder::decodeRow(const Table &table, const unsigned char *page, std::size_t start, std::size_t end,
                           ColumnMask mask, std::string &out, ReplyChannel &channel)
{
    RowLayout layout;
    readLayout(table, page + start, end - start, layout);
    for (std::size_t index = 0; index < table.columns.size(); ++index) {
        if (wanted(mask, index))
            decodeColumn(table.columns[index], layout, out, channel);
        else
            ValueEncoder::null(out);
    }
}

void RowDecoder::readLayout(const Table &table, const unsigned char *row, std::size_t length,
                            RowLayout &layout) const
{
    layout.row = row;
    layout.length = length;
    layout.countSize = m_jet3 ? 1 : 2;
    if (length < layout.countSize)
        damaged("a row is cut short.");
    layout.columns = m_jet3 ? row[0] : getU16(row);
    layout.maskSize = (layout.columns + 7) / 8;
    if (length < layout.countSize + layout.maskSize)
        damaged("a row is cut short.");
    layout.nullMask = row + length - layout.maskSize;
    layout.varCount = 0;
    layout.fixedEnd = length - layout.maskSize;
    if (!table.hasVariableColumns)
        return;
    const std::size_t tableStart = m_jet3 ? readJet3Offsets(layout) : readJet4Offsets(layout);
    checkOffsets(layout, tableStart);
    layout.fixedEnd = layout.offsets[0];
}

std::size_t RowDecoder::readJet3Offsets(RowLayout &layout)
{
    // The count of variable-length values and their offsets sit before the
    // null mask, read backwards.
    const std::size_t maskStart = layout.length - layout.maskSize;
    needRowBytes(layout, layout.countSize + layout.maskSize + 1);
    const std::size_t varCount = layout.row[maskStart - 1];
    layout.varCount = varCount;
    // Offsets are single bytes; a jump table says where they pass a multiple
    // of 256.
    std::size_t jumps = (layout.length - 1) / 256;
    needRowBytes(layout, layout.maskSize + jumps + 2 + varCount + layout.countSize);
    const std::size_t first = maskStart - jumps - 2;
    if ((first - varCount) / 256 < jumps)
        --jumps;
    std::size_t used = 0;
    for (std::size_t i = 0; i <= varCount; ++i) {
        while (used < jumps && i == layout.row[maskStart - 2 - used])
            ++used;
        layout.offsets[i] = layout.row[first - i] + 256 * used;
    }
    return first - varCount;
}

std::size_t RowDecoder::readJet4Offsets(RowLayout &layout)
{
    const std::size_t maskStart = layout.length - layout.maskSize;
    needRowBytes(layout, layout.countSize + layout.maskSize + 2);
    const std::size_t varCount = getU16(layout.row + maskStart - 2);
    layout.varCount = varCount;
    if (varCount > MDB_MAX_COLS)
        damaged("a row is cut short.");
    needRowBytes(layout, layout.countSize + layout.maskSize + 2 + 2 * (varCount + 1));
    for (std::size_t i = 0; i <= varCount; ++i)
        layout.offsets[i] = getU16(layout.row + maskStart - 4 - 2 * i);
    return maskStart - 2 - 2 * (varCount + 1);
}

void RowDecoder::needRowBytes(const RowLayout &layout, std::size_t bytes)
{
    if (layout.length < bytes)
        damaged("a row is cut short.");
}

void RowDecoder::checkOffsets(const RowLayout &layout, std::size_t tableStart)
{
    if (layout.varCount > MDB_MAX_COLS)
        damaged("a row has too many values.");
    if (layout.offsets[0] < layout.countSize)
        damaged("the values of a row overlap.");
    for (std::size_t i = 0; i < layout.varCount; ++i) {
        if (layout.offsets[i] > layout.offsets[i + 1])
            damaged("the values of a row overlap.");
    }
    if (layout.offsets[layout.varCount] > tableStart)
        damaged("the values of a row run past its end.");
}

bool RowDecoder::valueBounds(const Column &column, const RowLayout &layout, std::size_t &start, std::size_t &end)
{
    if (column.fixed) {
        start = layout.countSize + std::size_t(column.fixedOffset);
        end = start + std::size_t(column.size);
        if (end > layout.fixedEnd)
            damaged("a value runs past its row.");
        return true;
    }
    if (std::size_t(column.varIndex) >= layout.varCount)
        return false;
    start = layout.offsets[column.varIndex];
    end = layout.offsets[column.varIndex + 1];
    return true;
}

void RowDecoder::decodeColumn(const Column &column, const RowLayout &layout, std::string &out,
                              ReplyChannel &channel)
{
    // Null bits, fixed offsets and value slots all follow the numbers the row
    // was written with, which deleted and inserted columns leave different
    // from the columns' order. A column added after the row was written has
    // no bit: it is Null.
    const std::size_t number = std::size_t(column.rowNumber);
    const bool present = number < layout.columns && (layout.nullMask[number / 8] & (1u << (number % 8)));
    if (column.type == column::boolean && !column.calculated) {
        ValueEncoder::integer(out, present ? -1 : 0);
        return;
    }
    std::size_t start = 0;
    std::size_t end = 0;
    if (!present || !valueBounds(column, layout, start, end)) {
        ValueEncoder::null(out);
        return;
    }
    if (column.calculated)
        decodeCalculated(column, layout.row + start, end - start, out, channel);
    else if (column.complex != Complex::None)
        decodeComplex(column, layout.row + start, end - start, out);
    else
        decodeValue(column, layout.row + start, end - start, out, channel);
}

void RowDecoder::decodeCalculated(const Column &column, const unsigned char *data, std::size_t size,
                                  std::string &out, ReplyChannel &channel)
{
    if (column.resultType == column::memo) {
        decodeCalculatedMemo(data, size, out, channel);
        return;
    }
    Column result = column;
    result.calculated = false;
    result.type = column.resultType;
    std::size_t length = 0;
    const unsigned char *value = unwrapCalculated(data, size, length);
    // An expression whose result is Null keeps no value.
    if (length == 0 && result.type != column::text) {
        ValueEncoder::null(out);
        return;
    }
    switch (result.type) {
    case column::boolean:
        if (length < 1)
            damaged("a calculated value is cut short.");
        ValueEncoder::integer(out, value[0] != 0 ? -1 : 0);
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

void RowDecoder::decodeCalculatedMemo(const unsigned char *data, std::size_t size, std::string &out,
                                      ReplyChannel &channel)
{
    // A long text result is stored as a memo whose data is wrapped.
    std::string wrapped;
    readLongValue(data, size, wrapped, channel);
    if (wrapped.empty()) {
        ValueEncoder::null(out);
        return;
    }
    std::size_t length = 0;
    const unsigned char *value
        = unwrapCalculated(reinterpret_cast<const unsigned char *>(wrapped.data()), wrapped.size(), length);
    m_encoder.text(out, value, length);
}

void RowDecoder::decodeComplex(const Column &column, const unsigned char *data, std::size_t size, std::string &out)
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

void RowDecoder::decodeValue(const Column &column, const unsigned char *data, std::size_t size, std::string &out,
                             ReplyChannel &channel)
{
    if (size < fixedSize(column.type))
        damaged("a value is cut short.");
    switch (column.type) {
    case column::byte:
        return ValueEncoder::integer(out, data[0]);
    case column::integer:
        return ValueEncoder::integer(out, std::int16_t(getU16(data)));
    case column::longInteger:
        return ValueEncoder::integer(out, std::int32_t(getU32(data)));
    case column::bigInteger:
        return ValueEncoder::integer(out, std::int64_t(getU64(data)));
    case column::currency:
        return ValueEncoder::currency(out, std::int64_t(getU64(data)));
    case column::single:
        return ValueEncoder::single(out, singleAt(data));
    case column::dbl:
        return ValueEncoder::real(out, doubleAt(data));
    case column::dateTime:
        return ValueEncoder::dateTime(out, doubleAt(data));
    case column::guid:
        return ValueEncoder::guid(out, data);
    case column::extendedDate:
        return decodeExtendedDate(data, size, out);
    case column::numeric:
        return ValueEncoder::numeric(out, data, column.scale);
    case column::text:
        return m_encoder.text(out, data, size);
    case column::binary:
        return ValueEncoder::blob(out, data, size);
    case column::memo:
    case column::ole:
        return decodeMemoOrOle(column, data, size, out, channel);
    default:
        // A type this program does not know, such as ACE's attachments.
        return ValueEncoder::null(out);
    }
}

void RowDecoder::decodeMemoOrOle(const Column &column, const unsigned char *data, std::size_t size,
                                 std::string &out, ReplyChannel &channel)
{
    m_longValue.clear();
    readLongValue(data, size, m_longValue, channel);
    const auto *bytes = reinterpret_cast<const unsigned char *>(m_longValue.data());
    if (column.type == column::memo)
        m_encoder.text(out, bytes, m_longValue.size());
    else
        ValueEncoder::blob(out, bytes, m_longValue.size());
}

void RowDecoder::decodeExtendedDate(const unsigned char *data, std::size_t size, std::string &out)
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

void RowDecoder::readLongValue(const unsigned char *field, std::size_t size, std::string &data,
                               ReplyChannel &channel)
{
    data.clear();
    if (size == 0)
        return;
    if (size < longValueHeader)
        damaged("a memo or OLE value is cut short.");
    const std::uint32_t header = getU32(field);
    const std::size_t length = header & longValueLengthMask;
    if (length > m_fileSize)
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
        if (!m_pages.readPage(pageRow >> 8, m_longPage)
            || !m_pages.rowBounds(m_longPage.data(), pageRow & 0xff, start, end, flags) || end - start < length)
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
        if (pageRow == 0 || !m_pages.readPage(pageRow >> 8, m_longPage)
            || !m_pages.rowBounds(m_longPage.data(), pageRow & 0xff, start, end, flags) || end - start <= 4)
            damaged("a memo or OLE value points to a place that does not hold it.");
        const std::size_t piece = std::min(end - start - 4, remaining);
        pageRow = getU32(m_longPage.data() + start);
        data.append(reinterpret_cast<const char *>(m_longPage.data() + start + 4), piece);
        remaining -= piece;
        channel.keepAlive();
    }
}

} // namespace morvane::jetreader

#include "ValueEncoder.h"

#include "JetReaderProtocol.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace morvane::jetreader {

namespace {

using uint128 = unsigned __int128;

// Windows-1252 where it differs from Latin-1. The five unassigned bytes map
// to the control characters of the same number, as Windows itself does.
constexpr char16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr char32_t replacement = 0xFFFD;

// Writes `c` as UTF-8 at `p`; returns the position after it.
char *putUtf8(char *p, char32_t c)
{
    if (c < 0x80) {
        *p++ = char(c);
    } else if (c < 0x800) {
        *p++ = char(0xC0 | (c >> 6));
        *p++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *p++ = char(0xE0 | (c >> 12));
        *p++ = char(0x80 | ((c >> 6) & 0x3F));
        *p++ = char(0x80 | (c & 0x3F));
    } else {
        *p++ = char(0xF0 | (c >> 18));
        *p++ = char(0x80 | ((c >> 12) & 0x3F));
        *p++ = char(0x80 | ((c >> 6) & 0x3F));
        *p++ = char(0x80 | (c & 0x3F));
    }
    return p;
}

void appendUtf8(std::string &out, char32_t c)
{
    char buffer[4];
    out.append(buffer, std::size_t(putUtf8(buffer, c) - buffer));
}

// Joins UTF-16 code units into characters, written at a position the caller
// has made room for (three bytes per unit suffice); a lone surrogate becomes
// U+FFFD.
class Utf16Writer
{
public:
    explicit Utf16Writer(char *at) : m_at(at) {}

    void unit(char16_t u)
    {
        if (m_high) {
            if (u >= 0xDC00 && u <= 0xDFFF) {
                m_at = putUtf8(m_at, 0x10000 + ((char32_t(m_high) - 0xD800) << 10) + (u - 0xDC00));
                m_high = 0;
                return;
            }
            m_at = putUtf8(m_at, replacement);
            m_high = 0;
        }
        if (u < 0x80)
            *m_at++ = char(u);
        else if (u >= 0xD800 && u <= 0xDBFF)
            m_high = u;
        else if (u >= 0xDC00 && u <= 0xDFFF)
            m_at = putUtf8(m_at, replacement);
        else
            m_at = putUtf8(m_at, u);
    }

    char *finish()
    {
        if (m_high)
            m_at = putUtf8(m_at, replacement);
        m_high = 0;
        return m_at;
    }

private:
    char *m_at;
    char16_t m_high = 0;
};

// Access compresses a UTF-16 text by marking it with FF FE; after that, single
// bytes stand for characters up to U+00FF and each 00 byte switches between
// that and plain two-byte units.
void appendUnicodeText(std::string &out, const unsigned char *data, std::size_t size)
{
    const std::size_t at = out.size();
    const bool compressed = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    // A compressed byte is a character up to U+00FF (two UTF-8 bytes at most);
    // two bytes of UTF-16 need three at most. Tight, so that the buffer rarely
    // grows into fresh memory.
    out.resize(at + (compressed ? 2 * size : size / 2 * 3) + 4);
    Utf16Writer writer(out.data() + at);
    if (compressed) {
        bool singleBytes = true;
        std::size_t i = 2;
        while (i < size) {
            if (data[i] == 0) {
                singleBytes = !singleBytes;
                ++i;
            } else if (singleBytes) {
                writer.unit(data[i]);
                ++i;
            } else if (i + 1 < size) {
                writer.unit(char16_t(data[i] | (data[i + 1] << 8)));
                i += 2;
            } else {
                break;
            }
        }
    } else {
        for (std::size_t i = 0; i + 1 < size; i += 2)
            writer.unit(char16_t(data[i] | (data[i + 1] << 8)));
    }
    out.resize(std::size_t(writer.finish() - out.data()));
}

void appendCp1252(std::string &out, const unsigned char *data, std::size_t size)
{
    const std::size_t at = out.size();
    out.resize(at + 3 * size);
    char *p = out.data() + at;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = data[i];
        if (c < 0x80)
            *p++ = char(c);
        else if (c < 0xA0)
            p = putUtf8(p, cp1252High[c - 0x80]);
        else
            p = putUtf8(p, c);
    }
    out.resize(std::size_t(p - out.data()));
}

std::size_t beginSized(std::string &out, Value tag)
{
    putU8(out, std::uint8_t(tag));
    const std::size_t at = out.size();
    putU32(out, 0);
    return at;
}

void endSized(std::string &out, std::size_t at)
{
    patchU32(out, at, std::uint32_t(out.size() - at - 4));
}

void textValue(std::string &out, std::string_view text)
{
    putU8(out, std::uint8_t(Value::Text));
    putText(out, text);
}

std::string digitsOf(uint128 magnitude)
{
    if (magnitude == 0)
        return "0";
    char buffer[48];
    char *p = buffer + sizeof buffer;
    while (magnitude > 0) {
        *--p = char('0' + int(magnitude % 10));
        magnitude /= 10;
    }
    return std::string(p, buffer + sizeof buffer);
}

// A decimal value `magnitude` / 10^scale. The digits are kept: a whole value
// becomes an integer, a value SQLite's real can carry exactly as far as its
// 15 printed digits go becomes a real, anything longer stays exact text.
void decimalValue(std::string &out, bool negative, uint128 magnitude, int scale)
{
    if (magnitude == 0) {
        ValueEncoder::integer(out, 0);
        return;
    }
    std::string digits = digitsOf(magnitude);
    if (scale < 0)
        scale = 0;
    if (std::size_t(scale) >= digits.size())
        digits.insert(0, std::size_t(scale) + 1 - digits.size(), '0');
    std::string whole = digits.substr(0, digits.size() - std::size_t(scale));
    std::string fraction = digits.substr(digits.size() - std::size_t(scale));
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();

    if (fraction.empty()) {
        uint128 value = 0;
        for (char c : whole)
            value = value * 10 + uint128(c - '0');
        const uint128 limit = uint128(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
        if (value <= limit) {
            const auto v = static_cast<std::int64_t>(negative ? -static_cast<__int128>(value)
                                                              : static_cast<__int128>(value));
            ValueEncoder::integer(out, v);
            return;
        }
    }

    std::string text = negative ? "-" : "";
    text += whole;
    if (!fraction.empty())
        text += '.' + fraction;

    std::string significant = whole + fraction;
    const auto first = significant.find_first_not_of('0');
    significant = first == std::string::npos ? std::string() : significant.substr(first);
    while (!significant.empty() && significant.back() == '0')
        significant.pop_back();
    if (significant.size() <= std::size_t(std::numeric_limits<double>::digits10)) {
        ValueEncoder::real(out, std::strtod(text.c_str(), nullptr));
        return;
    }
    textValue(out, text);
}

struct Civil
{
    long long year;
    unsigned month;
    unsigned day;
};

// Days since 1970-01-01 to a date of the proleptic Gregorian calendar, which
// Access uses for all its dates (H. Hinnant's algorithm).
Civil civilFromDays(long long z)
{
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const unsigned day = unsigned(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = unsigned(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

} // namespace

ValueEncoder::ValueEncoder(bool jet3, int codePage) : m_jet3(jet3)
{
    if (jet3 && codePage != 0 && codePage != 1252) {
        const std::string name = "CP" + std::to_string(codePage);
        m_codePage = iconv_open("UTF-8", name.c_str());
    }
}

ValueEncoder::~ValueEncoder()
{
    if (m_codePage != iconv_t(-1))
        iconv_close(m_codePage);
}

void ValueEncoder::null(std::string &out)
{
    putU8(out, std::uint8_t(Value::Null));
}

void ValueEncoder::integer(std::string &out, std::int64_t value)
{
    putU8(out, std::uint8_t(Value::Integer));
    putU64(out, std::uint64_t(value));
}

void ValueEncoder::real(std::string &out, double value)
{
    if (std::isnan(value)) {
        null(out);
        return;
    }
    std::uint64_t bits;
    static_assert(sizeof bits == sizeof value);
    std::memcpy(&bits, &value, sizeof bits);
    putU8(out, std::uint8_t(Value::Real));
    putU64(out, bits);
}

void ValueEncoder::blob(std::string &out, const unsigned char *data, std::size_t size)
{
    putU8(out, std::uint8_t(Value::Blob));
    putU32(out, std::uint32_t(size));
    out.append(reinterpret_cast<const char *>(data), size);
}

void ValueEncoder::single(std::string &out, float value)
{
    if (std::isnan(value)) {
        null(out);
        return;
    }
    // A single typed as 1.1 would otherwise read back as 1.100000023841858.
    char buffer[64];
    const auto printed = std::to_chars(buffer, buffer + sizeof buffer, value);
    double widened = value;
    std::from_chars(buffer, printed.ptr, widened);
    real(out, widened);
}

void ValueEncoder::currency(std::string &out, std::int64_t tenThousandths)
{
    const bool negative = tenThousandths < 0;
    const uint128 magnitude = negative ? uint128(-(tenThousandths + 1)) + 1 : uint128(tenThousandths);
    decimalValue(out, negative, magnitude, 4);
}

void ValueEncoder::numeric(std::string &out, const unsigned char *data, int scale)
{
    uint128 magnitude = 0;
    for (int word = 0; word < 4; ++word)
        magnitude = (magnitude << 32) | getU32(data + 1 + 4 * word);
    decimalValue(out, (data[0] & 0x80) != 0, magnitude, scale);
}

void ValueEncoder::dateTime(std::string &out, double serial)
{
    // Far outside the years 1 to 9999; also keeps the casts below defined.
    if (!std::isfinite(serial) || serial < -1e6 || serial > 4e6) {
        null(out);
        return;
    }
    const double dayPart = std::trunc(serial);
    long long days = static_cast<long long>(dayPart);
    long long seconds = std::llround(std::fabs(serial - dayPart) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    constexpr long long daysFrom1899To1970 = 25569;
    const Civil date = civilFromDays(days - daysFrom1899To1970);
    if (date.year < 1 || date.year > 9999) {
        null(out);
        return;
    }
    char text[32];
    int length;
    if (seconds == 0) {
        length = std::snprintf(text, sizeof text, "%04lld-%02u-%02u", date.year, date.month, date.day);
    } else {
        length = std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld", date.year,
                               date.month, date.day, seconds / 3600, (seconds / 60) % 60, seconds % 60);
    }
    textValue(out, std::string_view(text, std::size_t(length)));
}

void ValueEncoder::extendedDate(std::string &out, std::int64_t days, std::int64_t ticks)
{
    constexpr std::int64_t ticksPerSecond = 10'000'000;
    constexpr std::int64_t ticksPerDay = 86'400 * ticksPerSecond;
    // Days from 0001-01-01 to 1970-01-01 in the proleptic Gregorian calendar.
    constexpr std::int64_t daysTo1970 = 719162;
    if (days < 0 || days > 3'652'058 || ticks < 0 || ticks >= ticksPerDay) {
        null(out);
        return;
    }
    const Civil date = civilFromDays(days - daysTo1970);
    const std::int64_t seconds = ticks / ticksPerSecond;
    const std::int64_t fraction = ticks % ticksPerSecond;
    char text[48];
    int length = std::snprintf(text, sizeof text, "%04lld-%02u-%02u", date.year, date.month, date.day);
    if (ticks != 0) {
        length += std::snprintf(text + length, sizeof text - std::size_t(length), " %02lld:%02lld:%02lld",
                                static_cast<long long>(seconds / 3600), static_cast<long long>((seconds / 60) % 60),
                                static_cast<long long>(seconds % 60));
    }
    if (fraction != 0) {
        length += std::snprintf(text + length, sizeof text - std::size_t(length), ".%07lld",
                                static_cast<long long>(fraction));
        while (text[length - 1] == '0')
            --length;
    }
    textValue(out, std::string_view(text, std::size_t(length)));
}

void ValueEncoder::decimal(std::string &out, bool negative, unsigned __int128 magnitude, int scale)
{
    decimalValue(out, negative, magnitude, scale);
}

void ValueEncoder::text(std::string &out, std::string_view utf8)
{
    textValue(out, utf8);
}

void ValueEncoder::guid(std::string &out, const unsigned char *d)
{
    char text[40];
    const int length = std::snprintf(text, sizeof text,
                                     "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                                     d[3], d[2], d[1], d[0], d[5], d[4], d[7], d[6], d[8], d[9], d[10], d[11],
                                     d[12], d[13], d[14], d[15]);
    textValue(out, std::string_view(text, std::size_t(length)));
}

void ValueEncoder::text(std::string &out, const unsigned char *data, std::size_t size)
{
    const std::size_t at = beginSized(out, Value::Text);
    if (!m_jet3)
        appendUnicodeText(out, data, size);
    else if (m_codePage == iconv_t(-1))
        appendCp1252(out, data, size);
    else
        appendCodePageText(out, data, size);
    endSized(out, at);
}

void ValueEncoder::appendCodePageText(std::string &out, const unsigned char *data, std::size_t size)
{
    iconv(m_codePage, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(reinterpret_cast<const char *>(data));
    std::size_t inLeft = size;
    char buffer[1024];
    while (inLeft > 0) {
        char *to = buffer;
        std::size_t toLeft = sizeof buffer;
        const std::size_t rc = iconv(m_codePage, &in, &inLeft, &to, &toLeft);
        out.append(buffer, std::size_t(to - buffer));
        if (rc == std::size_t(-1) && errno != E2BIG) {
            // A byte the code page does not define, or one cut short at the end.
            appendUtf8(out, replacement);
            ++in;
            --inLeft;
        }
    }
}

} // namespace morvane::jetreader

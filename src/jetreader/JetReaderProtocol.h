#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// The conversation between the program and morvane-jet-reader, the helper
// process that does all the reading of Access files. Both ends compile this
// header, so they cannot drift apart.
//
// Everything travels in frames: a type byte, the payload length (u32) and the
// payload. Numbers are little-endian; a text is a u32 length and UTF-8 bytes.
//
// The program sends:
//   Unlock   the key to the pages of a file saved with "Encrypt with
//            Password", before anything else and only for such a file: the
//            reader waits for it before its Hello. u8 PageCipher, then for
//            Rc4CryptoApi: u8 key length, the base hash (a text); for
//            AgileAes: the key, the salt and the hash's name (texts), u16
//            block size. Both ends wipe it once used.
//   Catalog  (no payload)
//   Scan     u16 column count the program expects, u64 columns wanted, u64
//            rows to pass over first (the program keeps them already), then
//            the table name
// The reader answers:
//   Hello    once at start: u32 protocol version, u8 file version, u16 code page
//   Catalog  u32 table count; per table: name, u32 row estimate, u16 column
//            count; per column: name, u8 column type its values come as (a
//            calculated column's result type, text for multi-valued fields
//            and attachments, long for version histories)
//   Rows     rows, back to back: u32 length of the values, then one value per
//            column (a Value tag and its data)
//   End      u64 number of rows sent; the scan is complete
//   Failure  a description for the user; the request failed, the reader waits
//            for the next one (a Failure instead of Hello ends the reader)
//   Alive    no payload; sent during long work so the program's watchdog sees
//            progress
namespace morvane::jetreader {

inline constexpr std::uint32_t protocolVersion = 4;

// The file descriptor the reader finds the database file on. It is opened
// read-only by the program; the reader never opens the file by name.
inline constexpr int databaseFd = 3;
// The reader's end of the conversation, a stream socket. Not standard input
// and output: libmdb prints page dumps to stdout on some damaged files, which
// must not end up in the replies.
inline constexpr int channelFd = 4;

inline constexpr std::size_t frameHeaderSize = 5;
// Bounds what either side accepts, so a corrupt length cannot make the other
// side allocate without limit.
inline constexpr std::uint32_t maxFramePayload = 0x7fff0000u;
inline constexpr std::uint32_t maxRequestPayload = 4096;
// Rows are sent in frames of about this size: large enough to keep system
// calls rare, small enough to keep the first rows quick.
inline constexpr std::size_t rowsFrameTarget = 64 * 1024;

// Which columns a scan wants, as SQLite's colUsed says it: bit i for column i,
// and bit 63 for all columns from 63 on. Columns not wanted come as Null, so
// that a count or a narrow select never reads a table's memos and pictures.
using ColumnMask = std::uint64_t;
inline constexpr ColumnMask allColumns = ~ColumnMask(0);

inline bool wanted(ColumnMask mask, std::size_t column)
{
    return (mask >> (column < 63 ? column : 63)) & 1;
}

// True when the rows of a scan for `wider` also serve a scan for `narrower`.
inline bool covers(ColumnMask wider, ColumnMask narrower)
{
    return (wider & narrower) == narrower;
}

enum class Request : std::uint8_t { Catalog = 'C', Scan = 'S', Unlock = 'K' };

// How the pages of an encrypted file are encrypted: RC4 with a key from SHA-1
// per page (Office's "RC4 CryptoAPI"), or AES in CBC mode with an IV from a
// hash per page (Office's agile encryption).
enum class PageCipher : std::uint8_t { Rc4CryptoApi = 1, AgileAes = 2 };
enum class Reply : std::uint8_t {
    Hello = 'H',
    Catalog = 'C',
    Rows = 'R',
    End = 'E',
    Failure = 'F',
    Alive = 'A',
};

enum class Value : std::uint8_t {
    Null = 0,
    Integer = 1, // i64
    Real = 2,    // IEEE double
    Text = 3,    // u32 length, UTF-8
    Blob = 4,    // u32 length, bytes
};

// Column types as Jet and ACE store them in a table definition.
namespace column {
inline constexpr std::uint8_t boolean = 0x01;
inline constexpr std::uint8_t byte = 0x02;
inline constexpr std::uint8_t integer = 0x03;
inline constexpr std::uint8_t longInteger = 0x04;
inline constexpr std::uint8_t currency = 0x05;
inline constexpr std::uint8_t single = 0x06;
inline constexpr std::uint8_t dbl = 0x07;
inline constexpr std::uint8_t dateTime = 0x08;
inline constexpr std::uint8_t binary = 0x09;
inline constexpr std::uint8_t text = 0x0a;
inline constexpr std::uint8_t ole = 0x0b;
inline constexpr std::uint8_t memo = 0x0c;
inline constexpr std::uint8_t guid = 0x0f;
inline constexpr std::uint8_t numeric = 0x10;
inline constexpr std::uint8_t complex = 0x12;
inline constexpr std::uint8_t bigInteger = 0x13;
inline constexpr std::uint8_t extendedDate = 0x14;
} // namespace column

inline void putU8(std::string &out, std::uint8_t value)
{
    out.push_back(static_cast<char>(value));
}

inline void putU16(std::string &out, std::uint16_t value)
{
    const char bytes[2] = {char(value & 0xff), char(value >> 8)};
    out.append(bytes, 2);
}

inline void putU32(std::string &out, std::uint32_t value)
{
    const char bytes[4] = {char(value & 0xff), char((value >> 8) & 0xff), char((value >> 16) & 0xff),
                           char(value >> 24)};
    out.append(bytes, 4);
}

inline void putU64(std::string &out, std::uint64_t value)
{
    putU32(out, std::uint32_t(value));
    putU32(out, std::uint32_t(value >> 32));
}

inline void putText(std::string &out, std::string_view text)
{
    putU32(out, std::uint32_t(text.size()));
    out.append(text);
}

inline void patchU32(std::string &out, std::size_t at, std::uint32_t value)
{
    out[at] = char(value & 0xff);
    out[at + 1] = char((value >> 8) & 0xff);
    out[at + 2] = char((value >> 16) & 0xff);
    out[at + 3] = char(value >> 24);
}

inline std::uint16_t getU16(const unsigned char *p)
{
    return std::uint16_t(p[0] | (p[1] << 8));
}

inline std::uint32_t getU32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
        | (std::uint32_t(p[3]) << 24);
}

inline std::uint64_t getU64(const unsigned char *p)
{
    return std::uint64_t(getU32(p)) | (std::uint64_t(getU32(p + 4)) << 32);
}

// Reads a payload front to back; any read past the end marks it bad instead
// of touching memory outside it.
class PayloadReader
{
public:
    PayloadReader(const void *data, std::size_t size)
        : m_p(static_cast<const unsigned char *>(data)), m_end(m_p + size)
    {
    }

    [[nodiscard]] bool ok() const { return m_ok; }
    [[nodiscard]] bool atEnd() const { return m_p == m_end; }

    std::uint8_t u8() { return take(1) ? m_p[-1] : 0; }
    std::uint16_t u16() { return take(2) ? getU16(m_p - 2) : 0; }
    std::uint32_t u32() { return take(4) ? getU32(m_p - 4) : 0; }
    std::uint64_t u64() { return take(8) ? getU64(m_p - 8) : 0; }

    std::string_view text()
    {
        const std::uint32_t size = u32();
        if (!take(size))
            return {};
        return {reinterpret_cast<const char *>(m_p - size), size};
    }

    std::string_view rest()
    {
        const std::string_view all(reinterpret_cast<const char *>(m_p), std::size_t(m_end - m_p));
        m_p = m_end;
        return all;
    }

private:
    bool take(std::size_t size)
    {
        if (!m_ok || std::size_t(m_end - m_p) < size) {
            m_ok = false;
            return false;
        }
        m_p += size;
        return true;
    }

    const unsigned char *m_p;
    const unsigned char *m_end;
    bool m_ok = true;
};

} // namespace morvane::jetreader

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <iconv.h>

namespace morvane::jetreader {

// Turns the bytes a Jet or ACE file stores for one value into a protocol
// value. All decoding is done here, from the raw bytes: libmdb's own text
// conversion cuts texts at its bind size, turns characters beyond U+FFFF into
// "??", zeroes dates before 1899-12-30, writes two-digit years and does not
// know ACE's large numbers.
//
// The choices, in one place:
//   byte, integer, long, big integer, yes/no   integer (yes = 1, no = 0)
//   single                                      real, the double nearest the
//                                               single's shortest decimal form
//   double                                      real
//   currency, decimal                           integer when whole; otherwise a
//                                               real when at most 15 significant
//                                               digits (it prints back as the
//                                               stored digits), else exact
//                                               decimal text
//   date/time                                   text "YYYY-MM-DD HH:MM:SS", just
//                                               "YYYY-MM-DD" at midnight; Null
//                                               outside the years 1 to 9999
//   date/time extended                          the same, with the fraction of
//                                               the second when it is not zero
//                                               ("...HH:MM:SS.1234567")
//   text, memo                                  text (UTF-8)
//   replication id                              text "{XXXXXXXX-XXXX-...}"
//   binary, OLE object                          blob
//   calculated columns                          the stored result, as its own
//                                               type says above
//   multi-valued fields, attachments            text: the values or file names
//                                               joined with "; " (the reader
//                                               session joins them)
//   version history                             integer: the number of versions
//   any other type (types newer than this       Null
//   program)
class ValueEncoder
{
public:
    // `codePage` is what a Jet 3 file declares for its texts; 0 means the
    // Windows default, 1252. Later versions store Unicode and ignore it.
    ValueEncoder(bool jet3, int codePage);
    ~ValueEncoder();
    ValueEncoder(const ValueEncoder &) = delete;
    ValueEncoder &operator=(const ValueEncoder &) = delete;

    static void null(std::string &out);
    static void integer(std::string &out, std::int64_t value);
    static void real(std::string &out, double value);
    static void blob(std::string &out, const unsigned char *data, std::size_t size);
    static void single(std::string &out, float value);
    static void currency(std::string &out, std::int64_t tenThousandths);
    // 17 bytes: a sign byte, then a 128-bit magnitude as four 32-bit words,
    // most significant first.
    static void numeric(std::string &out, const unsigned char *data, int scale);
    // Days since 1899-12-30; the fraction is the time of day, also for days
    // before that date.
    static void dateTime(std::string &out, double serial);
    // Access 2019's "Date/Time Extended": days since 0001-01-01 and the time
    // of day in units of 100 ns.
    static void extendedDate(std::string &out, std::int64_t days, std::int64_t ticks);
    // A value `magnitude` / 10^scale, as currency and decimal are shown.
    static void decimal(std::string &out, bool negative, unsigned __int128 magnitude, int scale);
    static void text(std::string &out, std::string_view utf8);
    static void guid(std::string &out, const unsigned char *data);

    // A text as stored: Jet 3 in the file's code page, later versions as
    // UTF-16 with Access's optional compression.
    void text(std::string &out, const unsigned char *data, std::size_t size);

private:
    void appendCodePageText(std::string &out, const unsigned char *data, std::size_t size);

    bool m_jet3;
    iconv_t m_codePage = iconv_t(-1);
};

} // namespace morvane::jetreader

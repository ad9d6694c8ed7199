#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace morvane::fuzz {

// The fuzzer's bytes as UTF-16 code units, as they come: lone surrogates,
// NULs and line breaks included.
inline QString utf16Of(const std::uint8_t *data, std::size_t size)
{
    QString text(qsizetype(size / 2), Qt::Uninitialized);
    for (std::size_t i = 0; i + 1 < size; i += 2)
        text[qsizetype(i / 2)] = QChar(char16_t(data[i] | (data[i + 1] << 8)));
    return text;
}

// Abort with a message that libFuzzer reports as a crash.
[[noreturn]] inline void fail(const char *what)
{
    // Standard error is unbuffered: the message is not lost with the process.
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    __builtin_trap();
}

} // namespace morvane::fuzz

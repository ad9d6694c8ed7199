#pragma once

#include "PageDecryptor.h"
#include "PageReadAhead.h"

#include <cstddef>
#include <cstdio>
#include <vector>

namespace morvane::jetreader {

// The stream libmdb reads an encrypted file through: a stdio stream over the
// mapped file whose reads come back decrypted, page by page, as libmdb asks
// for them. Nothing decrypted is ever written anywhere; the two pages kept
// decrypted, those read ahead, and stdio's buffer, are wiped when the
// stream closes.
class DecryptedStream
{
public:
    // A stream (to be closed with fclose) over `size` bytes at `file`, with
    // pages of `pageSize` bytes; `decryptor`, and `readAhead`, which decrypts
    // the following pages on a thread of their own, outlive it. Null on
    // failure.
    static FILE *open(const unsigned char *file, std::size_t size, std::size_t pageSize, PageDecryptor &decryptor,
                      PageDecryptor &readAhead);

    // Made by open(), and owned by the stream it returns.
    DecryptedStream(const unsigned char *file, std::size_t size, std::size_t pageSize, PageDecryptor &decryptor,
                    PageDecryptor &readAhead);
    ~DecryptedStream();
    DecryptedStream(const DecryptedStream &) = delete;
    DecryptedStream &operator=(const DecryptedStream &) = delete;

private:

    static ssize_t read(void *cookie, char *buffer, std::size_t size);
    static int seek(void *cookie, off64_t *offset, int whence);
    static int close(void *cookie);

    // Page `number`, decrypted. The last two pages read are kept: libmdb
    // reads a large table's map page again before each of its data pages.
    const unsigned char *decryptedPage(std::size_t number);

    const unsigned char *m_file;
    std::size_t m_size;
    std::size_t m_pageSize;
    PageDecryptor &m_decryptor;
    std::size_t m_position = 0;
    struct CachedPage
    {
        std::vector<unsigned char> bytes;
        std::size_t number = 0;
        bool valid = false;
        std::uint64_t lastUsed = 0;
    };
    CachedPage m_cache[2];
    std::uint64_t m_reads = 0;
    std::vector<unsigned char> m_buffer;
    PageReadAhead m_readAhead;
};

} // namespace morvane::jetreader

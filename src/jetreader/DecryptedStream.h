#pragma once

#include "PageDecryptor.h"

#include <cstddef>
#include <cstdio>
#include <vector>

namespace morvane::jetreader {

// The stream libmdb reads an encrypted file through: a stdio stream over the
// mapped file whose reads come back decrypted, page by page, as libmdb asks
// for them. Nothing decrypted is ever written anywhere; the one page kept
// for reads that come in pieces is wiped when the stream closes.
class DecryptedStream
{
public:
    // A stream (to be closed with fclose) over `size` bytes at `file`, with
    // pages of `pageSize` bytes; `decryptor` outlives it. Null on failure.
    static FILE *open(const unsigned char *file, std::size_t size, std::size_t pageSize, PageDecryptor &decryptor);

private:
    DecryptedStream(const unsigned char *file, std::size_t size, std::size_t pageSize, PageDecryptor &decryptor);
    ~DecryptedStream();

    static ssize_t read(void *cookie, char *buffer, std::size_t size);
    static int seek(void *cookie, off64_t *offset, int whence);
    static int close(void *cookie);

    // Makes page `number` the decrypted page at hand.
    void decryptPage(std::size_t number);

    const unsigned char *m_file;
    std::size_t m_size;
    std::size_t m_pageSize;
    PageDecryptor &m_decryptor;
    std::size_t m_position = 0;
    std::vector<unsigned char> m_page;
    std::size_t m_pageNumber = 0;
    bool m_pageValid = false;
};

} // namespace morvane::jetreader

#include "DecryptedStream.h"

#include "ReaderFailure.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace morvane::jetreader {

FILE *DecryptedStream::open(const unsigned char *file, std::size_t size, std::size_t pageSize,
                            PageDecryptor &decryptor, PageDecryptor &readAhead)
{
    auto stream = std::make_unique<DecryptedStream>(file, size, pageSize, decryptor, readAhead);
    const cookie_io_functions_t functions{&DecryptedStream::read, nullptr, &DecryptedStream::seek,
                                          &DecryptedStream::close};
    FILE *opened = fopencookie(stream.get(), "r", functions);
    if (!opened)
        return nullptr;
    // A buffer of one page, which stdio fills with one read per page (an
    // unbuffered stream reads byte by byte). It is ours, so that it is wiped
    // with the rest.
    setvbuf(opened, reinterpret_cast<char *>(stream->m_buffer.data()), _IOFBF, pageSize);
    // From here the stream owns it, and close() deletes it.
    stream.release();
    return opened;
}

DecryptedStream::DecryptedStream(const unsigned char *file, std::size_t size, std::size_t pageSize,
                                 PageDecryptor &decryptor, PageDecryptor &readAhead)
    : m_file(file)
    , m_size(size)
    , m_pageSize(pageSize)
    , m_decryptor(decryptor)
    , m_buffer(pageSize, 0)
    , m_readAhead(file, size, pageSize, readAhead)
{
    for (CachedPage &page : m_cache)
        page.bytes.assign(pageSize, 0);
}

DecryptedStream::~DecryptedStream()
{
    for (CachedPage &page : m_cache)
        OPENSSL_cleanse(page.bytes.data(), page.bytes.size());
    OPENSSL_cleanse(m_buffer.data(), m_buffer.size());
}

const unsigned char *DecryptedStream::decryptedPage(std::size_t number)
{
    ++m_reads;
    CachedPage *page = &m_cache[0];
    for (CachedPage &cached : m_cache) {
        if (cached.valid && cached.number == number) {
            cached.lastUsed = m_reads;
            return cached.bytes.data();
        }
        if (cached.lastUsed < page->lastUsed)
            page = &cached;
    }
    const std::size_t start = number * m_pageSize;
    const std::size_t present = std::min(m_pageSize, m_size - start);
    page->valid = false;
    if (number == 0 || present < m_pageSize) {
        // A last page cut short is decrypted as if it went on in zeros; only
        // its bytes in the file are handed out.
        std::fill(std::copy_n(m_file + start, present, page->bytes.begin()), page->bytes.end(), 0);
        // The header page is plain: libmdb unmasks its own part of it.
        if (number != 0)
            m_decryptor.apply(std::uint32_t(number), page->bytes.data(), page->bytes.size());
    } else if (!m_readAhead.take(number, page->bytes.data())) {
        // Not read ahead: straight from the mapped file, a copy less per page.
        m_decryptor.apply(std::uint32_t(number), m_file + start, page->bytes.data(), m_pageSize);
    }
    page->number = number;
    page->valid = true;
    page->lastUsed = m_reads;
    return page->bytes.data();
}

ssize_t DecryptedStream::read(void *cookie, char *buffer, std::size_t size)
{
    auto *stream = static_cast<DecryptedStream *>(cookie);
    std::size_t done = 0;
    try {
        while (done < size && stream->m_position < stream->m_size) {
            const std::size_t number = stream->m_position / stream->m_pageSize;
            const std::size_t within = stream->m_position % stream->m_pageSize;
            const std::size_t count = std::min({size - done, stream->m_pageSize - within,
                                                stream->m_size - stream->m_position});
            std::memcpy(buffer + done, stream->decryptedPage(number) + within, count);
            done += count;
            stream->m_position += count;
        }
    } catch (const ReaderFailure &) {
        errno = EIO;
        return -1;
    }
    return ssize_t(done);
}

int DecryptedStream::seek(void *cookie, off64_t *offset, int whence)
{
    auto *stream = static_cast<DecryptedStream *>(cookie);
    off64_t base = 0;
    if (whence == SEEK_CUR)
        base = off64_t(stream->m_position);
    else if (whence == SEEK_END)
        base = off64_t(stream->m_size);
    else if (whence != SEEK_SET)
        return -1;
    const off64_t target = base + *offset;
    if (target < 0)
        return -1;
    stream->m_position = std::size_t(target);
    *offset = target;
    return 0;
}

int DecryptedStream::close(void *cookie)
{
    delete static_cast<DecryptedStream *>(cookie);
    return 0;
}

} // namespace morvane::jetreader

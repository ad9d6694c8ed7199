#include "PageReadAhead.h"

#include "ReaderFailure.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <system_error>

namespace morvane::jetreader {

PageReadAhead::PageReadAhead(const unsigned char *file, std::size_t size, std::size_t pageSize,
                             PageDecryptor &decryptor)
    : m_file(file), m_pageSize(pageSize), m_wholePages(size / pageSize), m_decryptor(decryptor)
    , m_ring(window * pageSize, 0)
{
}

PageReadAhead::~PageReadAhead()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    OPENSSL_cleanse(m_ring.data(), m_ring.size());
}

void PageReadAhead::stopRun(std::unique_lock<std::mutex> &lock)
{
    m_end = m_done;
    m_changed.wait(lock, [this] { return !m_busy; });
    m_taken = m_done = m_end = 0;
}

void PageReadAhead::runFrom(std::size_t next, std::unique_lock<std::mutex> &lock)
{
    m_taken = next;
    m_end = std::min(next + window, m_wholePages);
    lock.unlock();
    m_changed.notify_all();
}

bool PageReadAhead::take(std::size_t number, unsigned char *out)
{
    std::unique_lock lock(m_mutex);
    const bool following = number != 0 && number == m_lastTaken + 1;
    m_lastTaken = number;
    if (m_failed)
        return false;
    if (number >= m_taken && number < m_end) {
        if (m_done < number || (m_done == number && !m_busy)) {
            // Not begun (the other core is busy elsewhere): sooner done here
            // than waited for; the run goes on after it.
            m_done = number + 1;
            runFrom(number + 1, lock);
            return false;
        }
        m_changed.wait(lock, [&] { return m_done > number || m_failed; });
        if (m_done > number) {
            std::memcpy(out, m_ring.data() + (number % window) * m_pageSize, m_pageSize);
            runFrom(number + 1, lock);
            return true;
        }
        return false;
    }
    // Another page in between (a map or a memo page) leaves the run as it is.
    if (!following || number + 1 >= m_wholePages)
        return false;
    if (m_end > m_taken)
        stopRun(lock);
    if (!m_worker.joinable()) {
        try {
            m_worker = std::thread([this] { work(); });
        } catch (const std::system_error &) {
            // No thread to spare: every page is decrypted as it is read.
            m_failed = true;
            return false;
        }
    }
    // A second page in a row: read on from the next one while the caller
    // decrypts this one.
    m_done = number + 1;
    runFrom(number + 1, lock);
    return false;
}

void PageReadAhead::work()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || (m_done < m_end && m_done < m_taken + window); });
        if (m_stop)
            return;
        const std::size_t number = m_done;
        m_busy = true;
        lock.unlock();
        bool ok = true;
        try {
            m_decryptor.apply(std::uint32_t(number), m_file + number * m_pageSize,
                              m_ring.data() + (number % window) * m_pageSize, m_pageSize);
        } catch (const ReaderFailure &) {
            // The caller decrypts the page itself, and meets the failure.
            ok = false;
        }
        lock.lock();
        m_busy = false;
        if (!ok)
            m_failed = true;
        else if (m_done == number && m_end > number)
            ++m_done;
        m_changed.notify_all();
    }
}

} // namespace morvane::jetreader

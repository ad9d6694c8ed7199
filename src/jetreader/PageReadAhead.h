#pragma once

#include "PageDecryptor.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace morvane::jetreader {

// Decrypts the pages after the one being read on a thread of its own, while
// libmdb works through that one: a scan reads pages in ascending order, and
// decrypting a page costs about as much as a count does with it. At most
// `window` pages are kept ahead, in memory only, wiped when this ends.
class PageReadAhead
{
public:
    // Whole pages of `pageSize` bytes of the `size` bytes at `file`;
    // `decryptor` is this one's own and outlives it.
    PageReadAhead(const unsigned char *file, std::size_t size, std::size_t pageSize, PageDecryptor &decryptor);
    ~PageReadAhead();
    PageReadAhead(const PageReadAhead &) = delete;
    PageReadAhead &operator=(const PageReadAhead &) = delete;

    // Copies page `number` decrypted into `out` when it was read ahead (or is
    // being read) and returns true; false when `out` is the caller's to make.
    // A call for the page after the previous one starts reading ahead.
    bool take(std::size_t number, unsigned char *out);

private:
    void work();
    // Ends the run being read ahead; the lock is held.
    void stopRun(std::unique_lock<std::mutex> &lock);
    // Keeps pages from `next` on, up to a window ahead, and wakes the worker;
    // the lock is held, and let go.
    void runFrom(std::size_t next, std::unique_lock<std::mutex> &lock);

    static constexpr std::size_t window = 16;

    const unsigned char *m_file;
    std::size_t m_pageSize;
    std::size_t m_wholePages;
    PageDecryptor &m_decryptor;
    std::vector<unsigned char> m_ring;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    // The run: pages [m_taken, m_done) are decrypted, up to m_end.
    std::size_t m_taken = 0;
    std::size_t m_done = 0;
    std::size_t m_end = 0;
    bool m_busy = false;
    bool m_failed = false;
    bool m_stop = false;
    std::size_t m_lastTaken = 0;
    std::thread m_worker;
};

} // namespace morvane::jetreader

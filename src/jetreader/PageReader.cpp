#include "PageReader.h"

#include "Damage.h"
#include "JetReaderProtocol.h"

#include <cstring>

#include <sys/mman.h>

namespace morvane::jetreader {

namespace {

// Row offsets on a page: the low 13 bits point at the row, the top bits mark
// a deleted row and a row that only points to where its data moved.
constexpr unsigned offsetMask = 0x1fff;
constexpr unsigned deletedRow = 0x8000;
constexpr unsigned movedRow = 0x4000;

std::uint32_t u24(const unsigned char *p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16);
}

} // namespace

PageReader::PageReader(MdbHandle *mdb, void *mapped, std::size_t mappedSize)
    : m_mdb(mdb)
    , m_mapped(mapped)
    , m_mappedSize(mappedSize)
    , m_pageSize(std::size_t(mdb->fmt->pg_size))
    , m_rowCountOffset(mdb->fmt->row_count_offset)
    , m_pageCount((mappedSize + m_pageSize - 1) / m_pageSize)
    // Touched now rather than during the first scan that meets a moved row.
    , m_overflowPage(m_pageSize, 0)
{
}

bool PageReader::readPage(std::uint32_t number, std::vector<unsigned char> &page)
{
    if (number == 0 || number >= m_pageCount)
        return false;
    if (mdb_read_alt_pg(m_mdb, number) != ssize_t(m_pageSize))
        return false;
    page.assign(m_mdb->alt_pg_buf, m_mdb->alt_pg_buf + m_pageSize);
    return true;
}

bool PageReader::rowBounds(const unsigned char *page, unsigned row, std::size_t &start, std::size_t &end,
                           unsigned &flags) const
{
    const unsigned rows = getU16(page + m_rowCountOffset);
    const std::size_t tableEnd = m_rowCountOffset + 2 + 2 * std::size_t(rows);
    if (row >= rows || tableEnd > m_pageSize)
        return false;
    const unsigned offset = getU16(page + m_rowCountOffset + 2 + 2 * row);
    flags = offset & (deletedRow | movedRow);
    start = offset & offsetMask;
    end = row == 0 ? m_pageSize : (getU16(page + m_rowCountOffset + 2 * row) & offsetMask);
    return start >= tableEnd && start <= end && end <= m_pageSize;
}

void PageReader::releaseReadPages()
{
    // The file is mapped: every page read stays resident until dropped. A
    // table of millions of rows would otherwise make this process as large
    // as the file; the pages come back from the page cache when needed.
    constexpr unsigned pagesBetweenReleases = 4096;
    if (++m_pagesSinceRelease < pagesBetweenReleases)
        return;
    m_pagesSinceRelease = 0;
    madvise(m_mapped, m_mappedSize, MADV_DONTNEED);
}

std::uint64_t PageReader::forEachRow(MdbTableDef *def, ReplyChannel &channel, const RowFunction &row)
{
    mdb_rewind_table(def);
    std::vector<unsigned char> page(m_pageSize);
    std::uint64_t rows = 0;
    int lastPage = 0;
    for (;;) {
        const int next = mdb_read_next_dpg(def);
        if (next <= 0)
            break;
        // Pages come in ascending order; anything else is a damaged page
        // map that would otherwise hand out the same rows forever.
        if (next <= lastPage)
            damaged("its list of pages is out of order.");
        lastPage = next;
        std::memcpy(page.data(), m_mdb->pg_buf, m_pageSize);
        releaseReadPages();
        const unsigned rowCount = getU16(page.data() + m_rowCountOffset);
        for (unsigned index = 0; index < rowCount; ++index) {
            std::size_t start = 0;
            std::size_t end = 0;
            unsigned flags = 0;
            // Like libmdb, a row whose bounds make no sense is passed over.
            if (!rowBounds(page.data(), index, start, end, flags) || (flags & deletedRow) || start == end)
                continue;
            if (flags & movedRow)
                followMovedRow(page.data(), start, end, row);
            else
                row(page.data(), start, end);
            ++rows;
        }
        channel.keepAlive();
    }
    return rows;
}

void PageReader::followMovedRow(const unsigned char *page, std::size_t start, std::size_t end,
                                const RowFunction &row)
{
    // The row outgrew its page: here is only where it went.
    if (end - start < 4)
        damaged("a moved row points nowhere.");
    const unsigned targetRow = page[start];
    const std::uint32_t targetPage = u24(page + start + 1);
    std::size_t movedStart = 0;
    std::size_t movedEnd = 0;
    unsigned movedFlags = 0;
    if (!readPage(targetPage, m_overflowPage)
        || !rowBounds(m_overflowPage.data(), targetRow, movedStart, movedEnd, movedFlags)
        || (movedFlags & movedRow) || movedStart == movedEnd)
        damaged("a moved row points to a place that holds no row.");
    row(m_overflowPage.data(), movedStart, movedEnd);
}

} // namespace morvane::jetreader

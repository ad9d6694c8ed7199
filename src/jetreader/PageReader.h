#pragma once

#include "ReplyChannel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <mdbtools.h>

namespace morvane::jetreader {

// The pages of a mapped Access file and the rows on them. Rows are found
// here, from the raw pages, rather than by libmdb, so that damage shows as
// Damage instead of a crash or an endless loop.
class PageReader
{
public:
    // Called with a page and the bounds [start, end) of one row on it.
    using RowFunction = std::function<void(const unsigned char *page, std::size_t start, std::size_t end)>;

    // `mdb` reads the file mapped at `mapped`; both outlive this reader.
    PageReader(MdbHandle *mdb, void *mapped, std::size_t mappedSize);

    std::size_t pageSize() const { return m_pageSize; }
    // Calls `row` for every row of the table, in stored order, and returns
    // the number of rows; `channel` hears that work goes on.
    std::uint64_t forEachRow(MdbTableDef *def, ReplyChannel &channel, const RowFunction &row);
    // A copy of page `number`, or false when the file has no such page.
    bool readPage(std::uint32_t number, std::vector<unsigned char> &page);
    // The bounds of row `row` on a page; false when they make no sense.
    bool rowBounds(const unsigned char *page, unsigned row, std::size_t &start, std::size_t &end,
                   unsigned &flags) const;

private:
    // Calls `row` for the row that the moved row at [start, end) of `page`
    // points to.
    void followMovedRow(const unsigned char *page, std::size_t start, std::size_t end, const RowFunction &row);
    // Lets go of the file's pages read so far, now and then.
    void releaseReadPages();

    MdbHandle *m_mdb;
    void *m_mapped;
    std::size_t m_mappedSize;
    std::size_t m_pageSize;
    std::size_t m_rowCountOffset;
    std::uint64_t m_pageCount;
    unsigned m_pagesSinceRelease = 0;
    std::vector<unsigned char> m_overflowPage;
};

} // namespace morvane::jetreader

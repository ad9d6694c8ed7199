#pragma once

#include "JetReaderProtocol.h"
#include "JetTable.h"
#include "PageReader.h"
#include "ReplyChannel.h"
#include "ValueEncoder.h"

#include <cstddef>
#include <string>
#include <vector>

#include <mdbtools.h>

namespace morvane::jetreader {

// Turns a stored row into protocol values, one per column: fixed and
// variable-length values, memo and OLE data along their pages, the results
// of calculated columns and what the keys of complex columns stand for.
// Damage is raised as Damage.
class RowDecoder
{
public:
    // `pages` outlives the decoder. `fileSize` bounds how long a value can
    // claim to be.
    RowDecoder(PageReader &pages, bool jet3, int codePage, std::size_t fileSize);

    // Decodes the row at [start, end) of `page` into `out`, the columns
    // `mask` does not want as Null; `channel` hears that work goes on.
    void decodeRow(const Table &table, const unsigned char *page, std::size_t start, std::size_t end,
                   ColumnMask mask, std::string &out, ReplyChannel &channel);

private:
    // The data of a memo or OLE column: kept in the row, on one other page or
    // along a chain of pages.
    void readLongValue(const unsigned char *field, std::size_t size, std::string &data, ReplyChannel &channel);
    // Where the parts of one row are: its null bits and, for variable-length
    // values, offsets relative to the row, one more where the last one ends.
    struct RowLayout
    {
        const unsigned char *row = nullptr;
        std::size_t length = 0;
        std::size_t countSize = 0;
        std::size_t columns = 0;
        std::size_t maskSize = 0;
        const unsigned char *nullMask = nullptr;
        std::size_t fixedEnd = 0;
        std::size_t varCount = 0;
        std::size_t offsets[MDB_MAX_COLS + 1];
    };
    void readLayout(const Table &table, const unsigned char *row, std::size_t length, RowLayout &layout) const;
    // Read the offsets of the variable-length values; return where their
    // table starts.
    static std::size_t readJet3Offsets(RowLayout &layout);
    static std::size_t readJet4Offsets(RowLayout &layout);
    static void needRowBytes(const RowLayout &layout, std::size_t bytes);
    static void checkOffsets(const RowLayout &layout, std::size_t tableStart);
    // The bounds of the column's value in the row; false when the row has no
    // place for it.
    static bool valueBounds(const Column &column, const RowLayout &layout, std::size_t &start, std::size_t &end);

    void decodeColumn(const Column &column, const RowLayout &layout, std::string &out, ReplyChannel &channel);
    void decodeValue(const Column &column, const unsigned char *data, std::size_t size, std::string &out,
                     ReplyChannel &channel);
    void decodeMemoOrOle(const Column &column, const unsigned char *data, std::size_t size, std::string &out,
                         ReplyChannel &channel);
    void decodeCalculated(const Column &column, const unsigned char *data, std::size_t size, std::string &out,
                          ReplyChannel &channel);
    void decodeCalculatedMemo(const unsigned char *data, std::size_t size, std::string &out, ReplyChannel &channel);
    static void decodeExtendedDate(const unsigned char *data, std::size_t size, std::string &out);
    // What the complex key stands for, as the column's hidden table was read.
    static void decodeComplex(const Column &column, const unsigned char *data, std::size_t size, std::string &out);

    PageReader &m_pages;
    ValueEncoder m_encoder;
    bool m_jet3;
    std::size_t m_fileSize;
    std::vector<unsigned char> m_longPage;
    // Kept from value to value: it only ever grows.
    std::string m_longValue;
};

} // namespace morvane::jetreader

#include "JetFileGrower.h"

#include <QFile>

#include <mdbtools.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace morvane::bench {

namespace {

constexpr qsizetype pageSize = 4096;
constexpr unsigned char dataPage = 0x01;
constexpr unsigned char bitmapPage = 0x05;
constexpr unsigned rowOffsetMask = 0x1fff;
constexpr unsigned deletedOrMoved = 0xc000;
// Jet 4 pages: row count at 12, row offsets from 14; a data page names its
// table's definition page at 4.
constexpr qsizetype rowCountAt = 12;
constexpr qsizetype tableAt = 4;
// Each bitmap page of a reference map covers this many pages.
constexpr qint64 pagesPerBitmap = (pageSize - 4) * 8;

std::uint16_t u16(const char *p)
{
    return std::uint16_t(std::uint8_t(p[0]) | (std::uint8_t(p[1]) << 8));
}

std::uint32_t u32(const char *p)
{
    return std::uint32_t(std::uint8_t(p[0])) | (std::uint32_t(std::uint8_t(p[1])) << 8)
        | (std::uint32_t(std::uint8_t(p[2])) << 16) | (std::uint32_t(std::uint8_t(p[3])) << 24);
}

void putU32(char *p, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char((value >> (8 * i)) & 0xff);
}

[[noreturn]] void fail(const char *why)
{
    throw std::runtime_error(why);
}

struct TableFacts
{
    std::uint32_t definitionPage = 0;
    std::uint32_t mapPointer = 0;
    std::size_t rowCountOffset = 0;
    int keyOffset = 0;
};

// What libmdb knows of the table: its definition page, where its map of used
// pages is, and where the key sits in a row.
TableFacts readFacts(const QString &source, const QString &table, const QString &keyColumn)
{
    MdbHandle *mdb = mdb_open(QFile::encodeName(source).constData(), MDB_NOFLAGS);
    if (!mdb || mdb->f->jet_version != MDB_VER_JET4 || mdb->fmt->pg_size != pageSize)
        fail("the source is not a Jet 4 file");
    TableFacts facts;
    QByteArray name = table.toUtf8();
    MdbTableDef *def = mdb_read_table_by_name(mdb, name.data(), MDB_TABLE);
    if (!def)
        fail("the table is not in the source");
    facts.definitionPage = def->entry->table_pg;
    facts.rowCountOffset = mdb->fmt->tab_num_rows_offset;
    GPtrArray *columns = mdb_read_columns(def);
    facts.keyOffset = -1;
    for (guint i = 0; i < columns->len; ++i) {
        const auto *column = static_cast<const MdbColumn *>(g_ptr_array_index(columns, i));
        if (keyColumn == QString::fromUtf8(column->name) && column->col_type == MDB_LONGINT && column->is_fixed)
            facts.keyOffset = column->fixed_offset;
    }
    const std::size_t mapAt = mdb->fmt->tab_usage_map_offset;
    mdb_free_tabledef(def);
    mdb_close(mdb);
    if (facts.keyOffset < 0)
        fail("the key is not a fixed Long column of the table");
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(qint64(facts.definitionPage) * pageSize))
        fail("the source cannot be read");
    const QByteArray definition = file.read(pageSize);
    facts.mapPointer = u32(definition.constData() + mapAt);
    return facts;
}

struct Row
{
    qsizetype start;
    qsizetype end;
};

std::vector<Row> rowsOf(const char *page)
{
    std::vector<Row> rows;
    const unsigned count = u16(page + rowCountAt);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned offset = u16(page + rowCountAt + 2 + 2 * i);
        const qsizetype end = i == 0 ? pageSize : (u16(page + rowCountAt + 2 * i) & rowOffsetMask);
        if (!(offset & deletedOrMoved))
            rows.push_back({qsizetype(offset & rowOffsetMask), end});
    }
    return rows;
}

} // namespace

JetFileGrower::Result JetFileGrower::grow(const QString &source, const QString &target, const QString &table,
                                          const QString &keyColumn, qint64 rows)
{
    const TableFacts facts = readFacts(source, table, keyColumn);
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        fail("the source cannot be read");
    QByteArray file = in.readAll();
    if (file.size() % pageSize != 0)
        fail("the source is not made of whole pages");
    const qint64 sourcePages = file.size() / pageSize;

    // The table's data pages, its rows and the span of its keys.
    std::vector<qint64> dataPages;
    qint64 tableRows = 0;
    qint64 largestKey = 0;
    for (qint64 page = 1; page < sourcePages; ++page) {
        const char *p = file.constData() + page * pageSize;
        if (std::uint8_t(p[0]) != dataPage || u32(p + tableAt) != facts.definitionPage)
            continue;
        dataPages.push_back(page);
        for (const Row &row : rowsOf(p)) {
            ++tableRows;
            largestKey = std::max<qint64>(largestKey, std::int32_t(u32(p + row.start + 2 + facts.keyOffset)));
        }
    }
    if (tableRows == 0)
        fail("the table has no rows to copy");
    const qint64 copies = std::max<qint64>(0, (rows - tableRows + tableRows - 1) / tableRows);
    const qint64 keyStride = largestKey + 1;
    if ((copies + 1) * keyStride > INT32_MAX)
        fail("too many rows for distinct keys");

    const qint64 totalDataPages = sourcePages + copies * qint64(dataPages.size());
    const qint64 bitmaps = (totalDataPages + qint64(1) + pagesPerBitmap - 1) / pagesPerBitmap;

    // The map of used pages becomes a reference map in its own row.
    const std::uint32_t mapPage = facts.mapPointer >> 8;
    const unsigned mapRow = facts.mapPointer & 0xff;
    char *mapPageData = file.data() + qint64(mapPage) * pageSize;
    if (mapRow >= u16(mapPageData + rowCountAt))
        fail("the map of used pages is not where the definition says");
    const qsizetype mapStart = u16(mapPageData + rowCountAt + 2 + 2 * mapRow) & rowOffsetMask;
    const qsizetype mapEnd = mapRow == 0 ? pageSize : (u16(mapPageData + rowCountAt + 2 * mapRow) & rowOffsetMask);
    if (mapEnd - mapStart < 1 + 4 * bitmaps)
        fail("the map of used pages has no room for that many bitmap pages");
    std::memset(mapPageData + mapStart, 0, std::size_t(mapEnd - mapStart));
    mapPageData[mapStart] = 1;
    for (qint64 i = 0; i < bitmaps; ++i)
        putU32(mapPageData + mapStart + 1 + 4 * i, std::uint32_t(totalDataPages + i));

    char *definition = file.data() + qint64(facts.definitionPage) * pageSize;
    putU32(definition + facts.rowCountOffset, std::uint32_t(tableRows * (copies + 1)));

    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail("the target cannot be written");
    out.write(file);

    std::vector<char> bitmap(std::size_t(bitmaps * pageSize), 0);
    const auto markUsed = [&](qint64 page) {
        const qint64 index = page / pagesPerBitmap;
        const qint64 bit = page % pagesPerBitmap;
        bitmap[std::size_t(index * pageSize + 4 + bit / 8)] |= char(1 << (bit % 8));
    };
    for (qint64 page : dataPages)
        markUsed(page);

    QByteArray batch;
    qint64 nextPage = sourcePages;
    for (qint64 copy = 1; copy <= copies; ++copy) {
        for (qint64 page : dataPages) {
            QByteArray copied = file.mid(page * pageSize, pageSize);
            char *p = copied.data();
            for (const Row &row : rowsOf(p)) {
                char *key = p + row.start + 2 + facts.keyOffset;
                putU32(key, std::uint32_t(std::int32_t(u32(key)) + copy * keyStride));
            }
            batch += copied;
            markUsed(nextPage++);
        }
        if (batch.size() >= 8 * 1024 * 1024) {
            out.write(batch);
            batch.clear();
        }
    }
    out.write(batch);
    for (qint64 i = 0; i < bitmaps; ++i) {
        char *p = bitmap.data() + i * pageSize;
        p[0] = char(bitmapPage);
        p[1] = 1;
    }
    out.write(bitmap.data(), qint64(bitmap.size()));
    if (!out.flush())
        fail("the target could not be written");
    return {tableRows * (copies + 1), totalDataPages + bitmaps};
}

} // namespace morvane::bench

#pragma once

#include "JetReaderClient.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace morvane::jet {

// Decoded rows kept in memory across statements, so that a table read once
// is not read again: SQLite rescans the inner table of a join once per outer
// row. A table larger than this is streamed on every scan instead, without
// being gathered, so the program's memory stays bounded for any table size.
inline constexpr qint64 cacheBudget = qint64(64) << 20;
// Of such a table, its first rows are kept up to this size, so that the
// cache still has room for other tables.
inline constexpr qint64 prefixBudget = cacheBudget / 2;

// The rows of a table as the reader sent them, frame by frame. Never changed
// once filled, so pointers into it stay valid while anyone holds it.
struct TableRows
{
    std::vector<QByteArray> batches;
    qint64 bytes = 0;
    qint64 rows = 0;
    // False for the first rows of a table too large to keep whole: a scan
    // reads them from here and the rest from the file.
    bool complete = true;
};

class TableCache
{
public:
    using Retire = std::function<void(std::shared_ptr<const TableRows>)>;

    explicit TableCache(Retire retire) : m_retire(std::move(retire)) {}

    [[nodiscard]] std::shared_ptr<const TableRows> find(std::size_t table, proto::ColumnMask columns) const;

    void store(std::size_t table, proto::ColumnMask columns, std::shared_ptr<const TableRows> rows);

    void clear();

private:
    struct Entry
    {
        std::size_t table;
        proto::ColumnMask columns;
        std::shared_ptr<const TableRows> rows;
    };

    // The oldest go first when room is needed.
    std::deque<Entry>::iterator forget(std::deque<Entry>::iterator entry);

    Retire m_retire;
    std::deque<Entry> m_entries;
    qint64 m_bytes = 0;
};

// A table being read from a reader. While it still fits the cache, its rows
// are collected for it as they arrive; of a table too large, only its first
// rows (up to prefixBudget).
struct Stream
{
    ReaderLease reader;
    proto::ColumnMask columns;
    std::shared_ptr<TableRows> collected;
    // Rows received (after the rows skipped, when the scan began past the
    // table's start).
    qint64 rows = 0;
    // Set once the table turned out too large to keep whole.
    bool tooLarge = false;
};

// What the virtual tables read from: the catalog, the readers and the cache.
//
// Values reach SQLite as pointers into the rows (no copy), so rows SQLite has
// seen are only freed when no statement is open: until then, rows leaving the
// cache wait in a graveyard. Only rows nobody collects (the rest of a table
// too large for the cache) are copied instead.
class TableSource
{
public:
    TableSource() : cache([this](std::shared_ptr<const TableRows> rows) { retire(std::move(rows)); }) {}

    std::vector<JetTable> tables;
    std::optional<ReaderPool> readers;
    TableCache cache;

    void retire(std::shared_ptr<const TableRows> rows);

    void statementOpened() { ++m_statements; }

    void statementClosed();

    // A scan that ended before its table did leaves its stream here, so that
    // the next scan of the table can finish it instead of starting over: in
    // a correlated sub-select SQLite reopens the inner table for every row.
    void park(std::size_t table, Stream stream);

    // Streams parked before the file changed would mix old rows with new.
    void dropParked();

    std::optional<Stream> unpark(std::size_t table, proto::ColumnMask columns);

private:
    int m_statements = 0;
    std::map<std::size_t, Stream> m_parked;
    std::vector<std::shared_ptr<const TableRows>> m_graveyard;
};

} // namespace morvane::jet

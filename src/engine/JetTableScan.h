#pragma once

#include "JetTableCache.h"

#include <QByteArray>

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

struct sqlite3_context;

namespace morvane::jet {

// One scan of one table, for an SQLite cursor. Rows come from the cache when
// the table is there, else from a reader, and are then kept for the cache.
class TableScan
{
public:
    TableScan(TableSource &source, std::size_t table)
        : m_source(source), m_table(table), m_columns(source.tables[table].columns.size())
    {
    }

    ~TableScan();

    TableScan(const TableScan &) = delete;
    TableScan &operator=(const TableScan &) = delete;

    // `used` is what SQLite says the statement needs of the table.
    void start(proto::ColumnMask used);

    void next();

    [[nodiscard]] bool eof() const { return m_eof; }
    [[nodiscard]] qint64 rowid() const { return m_rowid; }

    void column(sqlite3_context *context, int index);

private:
    // An unfinished stream is parked for the next scan of the table.
    void leaveStream();

    // Finishes a stream an earlier scan left, when its rows can still all go
    // to the cache; reading on is cheaper than starting a reader again.
    void resumeParked(proto::ColumnMask columns);

    // Asks a reader for the table's rows from row `skip` on.
    void openStream(qint64 skip);

    // Moves to the next batch of rows; false at the end of the table.
    bool loadBatch();

    void enterRow(qsizetype at);

    TableSource &m_source;
    std::size_t m_table;
    std::size_t m_columns;
    proto::ColumnMask m_columnsWanted = proto::allColumns;
    std::shared_ptr<const TableRows> m_cached;
    std::size_t m_nextBatch = 0;
    std::optional<Stream> m_stream;
    QByteArray m_batch;
    // The batch belongs to rows kept until no statement is open, so SQLite
    // may point into it.
    bool m_anchored = false;
    qsizetype m_rowStart = 0;
    qsizetype m_rowEnd = 0;
    qint64 m_rowid = 0;
    bool m_eof = true;
    bool m_parsed = false;
    std::vector<qsizetype> m_offsets;
};

} // namespace morvane::jet

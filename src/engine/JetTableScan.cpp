#include "JetTableScan.h"

#include "Failure.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace morvane::jet {

namespace {

// The next rows of `stream`, or nothing once the table has ended; then the
// reader is given back and the collected rows go to the cache. `collected`
// tells whether the rows returned belong to the collection. On failure the
// stream is finished: its reader given back (a failure it reported) or dead.
std::optional<QByteArray> nextBatch(TableSource &source, std::size_t table, std::optional<Stream> &stream,
                                    bool &collected)
{
    try {
        std::optional<QByteArray> batch;
        try {
            batch = JetReaderClient::nextRows(*stream->reader, stream->rows);
        } catch (const ReaderReported &) {
            // The reader said why and waits for the next request.
            stream->reader.giveBack();
            throw;
        }
        if (!batch) {
            stream->reader.giveBack();
            if (stream->collected)
                source.cache.store(table, stream->columns, std::move(stream->collected));
            stream.reset();
            return std::nullopt;
        }
        const qint64 rows = JetReaderClient::rowsIn(*batch);
        stream->rows += rows;
        collected = false;
        if (stream->collected) {
            // Judged on the first rows already: the rows so far, scaled to
            // the table's row count, must fit. A table that will not is
            // kept only in part, and the rest streamed on every scan.
            const qint64 bytes = stream->collected->bytes + batch->size();
            const qint64 expected = bytes / std::max<qint64>(stream->rows, 1)
                * std::max<qint64>(source.tables[table].rowEstimate, stream->rows);
            stream->tooLarge = stream->tooLarge || bytes > cacheBudget || expected > cacheBudget;
            if (!stream->tooLarge || bytes <= prefixBudget) {
                stream->collected->bytes = bytes;
                stream->collected->rows += rows;
                stream->collected->batches.push_back(*batch);
                collected = true;
            } else {
                stream->collected->complete = false;
                source.cache.store(table, stream->columns, std::move(stream->collected));
                stream->collected.reset();
            }
        }
        return batch;
    } catch (...) {
        if (stream)
            source.retire(std::move(stream->collected));
        stream.reset();
        throw;
    }
}

} // namespace

TableScan::~TableScan()
{
    try {
        leaveStream();
    } catch (...) {
        // Only the chance to finish the stream later is lost.
    }
}

void TableScan::start(proto::ColumnMask used)
{
    leaveStream();
    const JetTable &table = m_source.tables[m_table];
    const proto::ColumnMask columns = used | table.shortColumns;
    m_columnsWanted = columns;
    m_cached = m_source.cache.find(m_table, columns);
    if (!m_cached)
        resumeParked(columns);
    m_nextBatch = 0;
    m_batch.clear();
    m_rowid = 0;
    m_eof = false;
    if (m_cached) {
        if (loadBatch())
            enterRow(0);
        return;
    }
    openStream(0);
    if (loadBatch())
        enterRow(0);
}

void TableScan::openStream(qint64 skip)
{
    const JetTable &table = m_source.tables[m_table];
    for (;;) {
        // Parked streams hold readers too; they are the first to go.
        if (m_source.readers->atLimit())
            m_source.dropParked();
        // Only a scan from the table's start can gather it for the cache.
        m_stream.emplace(Stream{m_source.readers->acquire(), m_columnsWanted,
                                skip == 0 ? std::make_shared<TableRows>() : nullptr});
        const bool reused = m_stream->reader.reused();
        try {
            JetReaderClient::requestScan(*m_stream->reader, table, m_columnsWanted, skip);
            m_stream->reader->awaitAnswer();
            return;
        } catch (const ReaderEnded &) {
            // A reader that died while it waited has answered nothing:
            // the request goes to a new one.
            m_stream.reset();
            if (!reused)
                throw;
        }
    }
}

void TableScan::next()
{
    if (m_eof)
        return;
    ++m_rowid;
    if (m_rowEnd < m_batch.size()) {
        enterRow(m_rowEnd);
        return;
    }
    if (loadBatch())
        enterRow(0);
}

void TableScan::column(sqlite3_context *context, int index)
{
    if (m_eof || index < 0 || std::size_t(index) >= m_columns) {
        sqlite3_result_null(context);
        return;
    }
    if (!m_parsed) {
        JetReaderClient::valueOffsets(m_batch, m_rowStart, m_rowEnd, m_columns, m_offsets);
        m_parsed = true;
    }
    const auto *value = reinterpret_cast<const unsigned char *>(m_batch.constData()) + m_offsets[std::size_t(index)];
    JetReaderClient::resultValue(context, value, m_anchored);
}

void TableScan::leaveStream()
{
    if (!m_stream)
        return;
    Stream stream = std::move(*m_stream);
    m_stream.reset();
    m_source.park(m_table, std::move(stream));
}

void TableScan::resumeParked(proto::ColumnMask columns)
{
    std::optional<Stream> parked = m_source.unpark(m_table, columns);
    if (!parked || !parked->collected)
        return;
    // Read on while the rows still go to the cache; a stream left over
    // after that is dropped, which ends its reader.
    bool collected = false;
    while (parked && parked->collected)
        nextBatch(m_source, m_table, parked, collected);
    m_cached = m_source.cache.find(m_table, columns);
}

bool TableScan::loadBatch()
{
    for (;;) {
        if (m_cached) {
            if (m_nextBatch >= m_cached->batches.size()) {
                if (m_cached->complete)
                    break;
                // The rest of a table kept only in part.
                const qint64 skip = m_cached->rows;
                m_cached.reset();
                openStream(skip);
                continue;
            }
            m_batch = m_cached->batches[m_nextBatch++];
            m_anchored = true;
        } else if (m_stream) {
            std::optional<QByteArray> batch = nextBatch(m_source, m_table, m_stream, m_anchored);
            if (!batch)
                break;
            m_batch = std::move(*batch);
        } else {
            break;
        }
        if (!m_batch.isEmpty())
            return true;
    }
    m_eof = true;
    m_batch.clear();
    return false;
}

void TableScan::enterRow(qsizetype at)
{
    JetReaderClient::rowBounds(m_batch, at, m_rowStart, m_rowEnd);
    m_parsed = false;
}

} // namespace morvane::jet

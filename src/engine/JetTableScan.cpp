#include "JetTableScan.h"

#include "Failure.h"

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <utility>

namespace morvane::jet {

namespace {

[[noreturn]] void garbledRows()
{
    throw Failure(QStringLiteral("Reading the Access file failed: the reader's rows were garbled."));
}

// Counts the rows of a Rows payload and checks that they fill it exactly.
qint64 countRows(const QByteArray &batch)
{
    qint64 rows = 0;
    qsizetype at = 0;
    while (at < batch.size()) {
        if (batch.size() - at < 4)
            garbledRows();
        const auto length = qsizetype(proto::getU32(reinterpret_cast<const unsigned char *>(batch.constData() + at)));
        if (length > batch.size() - at - 4)
            garbledRows();
        at += 4 + length;
        ++rows;
    }
    return rows;
}

// The next rows of `stream`, or nothing once the table has ended; then the
// reader is given back and the collected rows go to the cache. `collected`
// tells whether the rows returned belong to the collection. On failure the
// stream is finished: its reader given back (a failure it reported) or dead.
std::optional<QByteArray> nextBatch(TableSource &source, std::size_t table, std::optional<Stream> &stream,
                                    bool &collected)
{
    try {
        Frame frame = stream->reader->receive();
        switch (frame.type) {
        case proto::Reply::Rows:
            stream->rows += countRows(frame.payload);
            collected = false;
            if (stream->collected) {
                if (stream->collected->bytes + frame.payload.size() <= cacheBudget) {
                    stream->collected->bytes += frame.payload.size();
                    stream->collected->batches.push_back(frame.payload);
                    collected = true;
                } else {
                    source.retire(std::move(stream->collected));
                    stream->collected.reset();
                }
            }
            return std::move(frame.payload);
        case proto::Reply::End: {
            proto::PayloadReader end(frame.payload.constData(), std::size_t(frame.payload.size()));
            if (qint64(end.u64()) != stream->rows || !end.ok())
                stream->reader->unexpected();
            stream->reader.giveBack();
            if (stream->collected)
                source.cache.store(table, stream->columns, std::move(stream->collected));
            stream.reset();
            return std::nullopt;
        }
        case proto::Reply::Failure:
            stream->reader.giveBack();
            throw Failure(QString::fromUtf8(frame.payload));
        default:
            stream->reader->unexpected();
        }
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
    for (;;) {
        // Parked streams hold readers too; they are the first to go.
        if (m_source.readers->atLimit())
            m_source.dropParked();
        m_stream.emplace(Stream{m_source.readers->acquire(), columns, std::make_shared<TableRows>()});
        const bool reused = m_stream->reader.reused();
        std::string request;
        proto::putU16(request, std::uint16_t(m_columns));
        proto::putU64(request, columns);
        request += table.nameUtf8;
        try {
            m_stream->reader->send(proto::Request::Scan, request);
            if (loadBatch())
                enterRow(0);
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
    if (!m_parsed)
        parseRow();
    const auto *at = reinterpret_cast<const unsigned char *>(m_batch.constData()) + m_offsets[std::size_t(index)];
    const auto keep = m_anchored ? SQLITE_STATIC : SQLITE_TRANSIENT;
    switch (static_cast<proto::Value>(at[0])) {
    case proto::Value::Integer:
        sqlite3_result_int64(context, sqlite3_int64(proto::getU64(at + 1)));
        return;
    case proto::Value::Real: {
        const std::uint64_t bits = proto::getU64(at + 1);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        sqlite3_result_double(context, value);
        return;
    }
    case proto::Value::Text:
        sqlite3_result_text64(context, reinterpret_cast<const char *>(at + 5), proto::getU32(at + 1), keep,
                              SQLITE_UTF8);
        return;
    case proto::Value::Blob:
        sqlite3_result_blob64(context, at + 5, proto::getU32(at + 1), keep);
        return;
    case proto::Value::Null:
        break;
    }
    sqlite3_result_null(context);
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
    bool collected = false;
    while (parked)
        nextBatch(m_source, m_table, parked, collected);
    m_cached = m_source.cache.find(m_table, columns);
}

bool TableScan::loadBatch()
{
    for (;;) {
        if (m_cached) {
            if (m_nextBatch >= m_cached->batches.size())
                break;
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
    if (m_batch.size() - at < 4)
        garbledRows();
    const auto length = qsizetype(proto::getU32(reinterpret_cast<const unsigned char *>(m_batch.constData() + at)));
    if (length > m_batch.size() - at - 4)
        garbledRows();
    m_rowStart = at + 4;
    m_rowEnd = m_rowStart + length;
    m_parsed = false;
}

void TableScan::parseRow()
{
    m_offsets.resize(m_columns);
    const auto *data = reinterpret_cast<const unsigned char *>(m_batch.constData());
    qsizetype at = m_rowStart;
    for (std::size_t i = 0; i < m_columns; ++i) {
        if (at >= m_rowEnd)
            garbledRows();
        m_offsets[i] = at;
        qsizetype size = 1;
        switch (static_cast<proto::Value>(data[at])) {
        case proto::Value::Null:
            break;
        case proto::Value::Integer:
        case proto::Value::Real:
            size += 8;
            break;
        case proto::Value::Text:
        case proto::Value::Blob:
            if (m_rowEnd - at < 5)
                garbledRows();
            size += 4 + qsizetype(proto::getU32(data + at + 1));
            break;
        default:
            garbledRows();
        }
        if (size > m_rowEnd - at)
            garbledRows();
        at += size;
    }
    if (at != m_rowEnd)
        garbledRows();
    m_parsed = true;
}

} // namespace morvane::jet

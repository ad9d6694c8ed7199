#include "JetReaderClient.h"

#include "Failure.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

namespace morvane::jet {

void JetReaderClient::greet(ReaderProcess &reader)
{
    const Frame hello = reader.receive();
    if (hello.type == proto::Reply::Failure)
        reader.fail(QString::fromUtf8(hello.payload));
    proto::PayloadReader fields(hello.payload.constData(), std::size_t(hello.payload.size()));
    if (hello.type != proto::Reply::Hello || fields.u32() != proto::protocolVersion || !fields.ok()) {
        reader.fail(QStringLiteral("The program that reads Access files (%1) does not match this program.")
                        .arg(readerName));
    }
}

std::vector<JetTable> JetReaderClient::catalog(ReaderProcess &reader)
{
    reader.send(proto::Request::Catalog);
    const Frame frame = reader.receive();
    if (frame.type == proto::Reply::Failure)
        throw ReaderReported(QString::fromUtf8(frame.payload));
    if (frame.type != proto::Reply::Catalog)
        reader.unexpected();
    std::vector<JetTable> tables;
    proto::PayloadReader fields(frame.payload.constData(), std::size_t(frame.payload.size()));
    const std::uint32_t count = fields.u32();
    for (std::uint32_t i = 0; i < count && fields.ok(); ++i) {
        JetTable table;
        table.nameUtf8 = std::string(fields.text());
        table.name = QString::fromStdString(table.nameUtf8);
        table.rowEstimate = fields.u32();
        const std::uint16_t columns = fields.u16();
        for (std::uint16_t c = 0; c < columns && fields.ok(); ++c) {
            JetColumn column;
            column.name = QString::fromUtf8(fields.text());
            column.type = fields.u8();
            if (column.type == proto::column::memo || column.type == proto::column::ole)
                table.shortColumns &= ~(proto::ColumnMask(1) << std::min<int>(c, 63));
            table.columns.push_back(std::move(column));
        }
        tables.push_back(std::move(table));
    }
    if (!fields.ok() || !fields.atEnd())
        reader.unexpected();
    return tables;
}

void JetReaderClient::requestScan(ReaderProcess &reader, const JetTable &table, proto::ColumnMask columns,
                                  qint64 skip)
{
    std::string request;
    proto::putU16(request, std::uint16_t(table.columns.size()));
    proto::putU64(request, columns);
    proto::putU64(request, std::uint64_t(skip));
    request += table.nameUtf8;
    reader.send(proto::Request::Scan, request);
}

std::optional<QByteArray> JetReaderClient::nextRows(ReaderProcess &reader, qint64 rowsSoFar)
{
    Frame frame = reader.receive();
    switch (frame.type) {
    case proto::Reply::Rows:
        return std::move(frame.payload);
    case proto::Reply::End: {
        proto::PayloadReader end(frame.payload.constData(), std::size_t(frame.payload.size()));
        if (qint64(end.u64()) != rowsSoFar || !end.ok() || !end.atEnd())
            reader.unexpected();
        return std::nullopt;
    }
    case proto::Reply::Failure:
        throw ReaderReported(QString::fromUtf8(frame.payload));
    default:
        reader.unexpected();
    }
}

void JetReaderClient::garbledRows()
{
    throw Failure(QStringLiteral("Reading the Access file failed: the reader's rows were garbled."));
}

qint64 JetReaderClient::rowsIn(const QByteArray &batch)
{
    qint64 rows = 0;
    qsizetype at = 0;
    while (at < batch.size()) {
        qsizetype start = 0;
        rowBounds(batch, at, start, at);
        ++rows;
    }
    return rows;
}

void JetReaderClient::rowBounds(const QByteArray &batch, qsizetype at, qsizetype &start, qsizetype &end)
{
    if (batch.size() - at < 4)
        garbledRows();
    const auto length = qsizetype(proto::getU32(reinterpret_cast<const unsigned char *>(batch.constData() + at)));
    if (length > batch.size() - at - 4)
        garbledRows();
    start = at + 4;
    end = start + length;
}

void JetReaderClient::valueOffsets(const QByteArray &batch, qsizetype start, qsizetype end, std::size_t columns,
                                   std::vector<qsizetype> &offsets)
{
    offsets.resize(columns);
    const auto *data = reinterpret_cast<const unsigned char *>(batch.constData());
    qsizetype at = start;
    for (std::size_t i = 0; i < columns; ++i) {
        if (at >= end)
            garbledRows();
        offsets[i] = at;
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
            if (end - at < 5)
                garbledRows();
            size += 4 + qsizetype(proto::getU32(data + at + 1));
            break;
        default:
            garbledRows();
        }
        if (size > end - at)
            garbledRows();
        at += size;
    }
    if (at != end)
        garbledRows();
}

void JetReaderClient::resultValue(sqlite3_context *context, const unsigned char *value, bool stable)
{
    const auto keep = stable ? SQLITE_STATIC : SQLITE_TRANSIENT;
    switch (static_cast<proto::Value>(value[0])) {
    case proto::Value::Integer:
        sqlite3_result_int64(context, sqlite3_int64(proto::getU64(value + 1)));
        return;
    case proto::Value::Real: {
        const std::uint64_t bits = proto::getU64(value + 1);
        double real;
        std::memcpy(&real, &bits, sizeof real);
        sqlite3_result_double(context, real);
        return;
    }
    case proto::Value::Text:
        sqlite3_result_text64(context, reinterpret_cast<const char *>(value + 5), proto::getU32(value + 1), keep,
                              SQLITE_UTF8);
        return;
    case proto::Value::Blob:
        sqlite3_result_blob64(context, value + 5, proto::getU32(value + 1), keep);
        return;
    case proto::Value::Null:
        break;
    }
    sqlite3_result_null(context);
}

} // namespace morvane::jet

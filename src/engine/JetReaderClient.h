#pragma once

#include "JetReaderProcess.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3_context;

namespace morvane::jet {

struct JetColumn
{
    QString name;
    // The type the column's values come as (JetReaderProtocol.h, column).
    std::uint8_t type = 0;
};

struct JetTable
{
    QString name;
    std::string nameUtf8;
    qint64 rowEstimate = 0;
    std::vector<JetColumn> columns;
    // The columns other than memos and OLE objects. Scans read them always,
    // so that one cached read serves the next statement whatever it selects;
    // long values are read only when a statement uses them.
    proto::ColumnMask shortColumns = proto::allColumns;
};

// The program's side of the conversation with morvane-jet-reader: the one
// place that writes requests and turns the reader's payloads into typed
// values. Everything it is handed is checked; anything out of place fails
// with Failure (and kills the reader where the conversation is lost).
class JetReaderClient
{
public:
    // The reader's first words: its version must be this program's.
    static void greet(ReaderProcess &reader);

    static std::vector<JetTable> catalog(ReaderProcess &reader);

    // Rows from row `skip` on (in the table's stored order).
    static void requestScan(ReaderProcess &reader, const JetTable &table, proto::ColumnMask columns,
                            qint64 skip);

    // The next frame of rows of a scan, or nothing when the scan has ended
    // (after `rowsSoFar` rows, which the reader's count must confirm). A
    // failure the reader reports is raised as ReaderReported; the reader
    // then waits for the next request.
    static std::optional<QByteArray> nextRows(ReaderProcess &reader, qint64 rowsSoFar);

    // The number of rows in a frame of rows; Failure unless they fill it.
    static qint64 rowsIn(const QByteArray &batch);

    // The row that starts at `at` of a frame: where its values begin and end.
    static void rowBounds(const QByteArray &batch, qsizetype at, qsizetype &start, qsizetype &end);

    // Where each of the row's `columns` values starts.
    static void valueOffsets(const QByteArray &batch, qsizetype start, qsizetype end, std::size_t columns,
                             std::vector<qsizetype> &offsets);

    // Hands the value at `value` to SQLite; `stable` says the bytes outlive
    // the statement, so SQLite may point into them.
    static void resultValue(sqlite3_context *context, const unsigned char *value, bool stable);

private:
    [[noreturn]] static void garbledRows();
};

} // namespace morvane::jet

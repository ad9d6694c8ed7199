#pragma once

#include "Database.h"
#include "SqliteConnection.h"

#include <QByteArrayView>
#include <QString>

#include <atomic>

namespace morvane {

// An SQLite 3 database file, opened read-write where the file permits and
// read-only otherwise. A file in write-ahead-log mode whose log index cannot
// be made (a read-only folder) opens read-only as it is, unless its log holds
// changes. Opening never creates a file.
class SqliteDatabase final : public Database
{
public:
    // True when `header` starts with SQLite's 16-byte file signature.
    [[nodiscard]] static bool hasSignature(QByteArrayView header);

    // Opens the regular file at `path`; Failure when it is not an SQLite
    // database that can be read.
    // A statement waits up to `busyTimeoutMs` for another program's lock;
    // while the file opens, raising `cancelled` (may be null) ends the wait.
    SqliteDatabase(const QString &path, int busyTimeoutMs, const std::atomic_bool *cancelled = nullptr);

    std::unique_ptr<Recordset> openRecordset(const QString &sql) override;
    void execute(const QString &sql) override;
    qint64 countRows(const QString &select) override;
    void interrupt() override;

private:
    SqliteConnection m_connection;
};

} // namespace morvane

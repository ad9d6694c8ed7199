#pragma once

#include <QString>
#include <QtTest>

#include <sqlite3.h>

namespace morvane::test {

// Creates an SQLite database file at `path` and runs `sql` in it, straight
// through SQLite, independent of the program's own engine.
inline bool makeSqliteDatabase(const QString &path, const QString &sql)
{
    sqlite3 *db = nullptr;
    const QByteArray name = path.toUtf8();
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    char *error = nullptr;
    const bool ok = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok)
        qWarning("SQL failed: %s", error);
    sqlite3_free(error);
    sqlite3_close(db);
    return ok;
}

// Reads one value from a database file straight through SQLite.
inline QString querySqliteText(const QString &path, const QString &sql)
{
    sqlite3 *db = nullptr;
    QString result;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            result = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

} // namespace morvane::test

#pragma once

#include "Database.h"

#include <QByteArrayView>
#include <QString>

#include <memory>

namespace morvane {

// An Access database file (Jet 3, Jet 4, ACE 2007-2019), read-only.
//
// Every user table appears as a table of an in-memory SQLite connection, so
// select statements run exactly as on an SQLite file, with Access's common
// functions added (AccessFunctions). The file itself is only ever read by
// morvane-jet-reader, a helper process found next to the program: libmdb is
// not safe on damaged files, so a crash or endless loop there costs that
// process, not this one. A reader that sends nothing for
// readerSilenceLimitMs while this side waits is killed, and the request
// fails with a DatabaseError; the next request starts a new reader.
//
// Rows once read stay in memory (within a budget) until the file changes, so
// the inner table of a join, or the next statement, does not read the file
// again. Table and column names are those of the file; SQLite matches them
// without regard to letter case (ASCII letters only).
//
// Used on one thread; result sets must be closed before the database is
// destroyed. The readers are started from the thread that opened it and die
// with that thread.
class JetDatabase final : public Database
{
public:
    // How long a reader may stay silent, while the program waits for it,
    // before it is killed.
    static constexpr int readerSilenceLimitMs = 2000;

    // True when `header` (the file's first bytes) carries the signature of
    // Jet or ACE at offset 4.
    [[nodiscard]] static bool hasSignature(QByteArrayView header);

    // Opens the file read-only and reads its catalog; DatabaseError when it
    // cannot be read.
    explicit JetDatabase(const QString &path);
    ~JetDatabase() override;

    std::unique_ptr<Recordset> openRecordset(const QString &sql) override;
    // Always fails: the file is never written.
    void execute(const QString &sql) override;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace morvane

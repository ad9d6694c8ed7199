#pragma once

#include "Database.h"
#include "PasswordPrompt.h"

#include <QByteArrayView>
#include <QString>

#include <memory>

namespace morvane {

// An Access database file (Jet 3, Jet 4, ACE 2007-2019), read-only.
//
// Every user table appears as a table of an in-memory SQLite connection.
// A select statement is read as Access SQL and translated for it
// (AccessSqlTranslator), with Access's functions, operators and text
// collation installed on the connection (AccessFunctions), so it means
// what it means in Access. The file itself is only ever read by
// morvane-jet-reader, a helper process found next to the program: libmdb is
// not safe on damaged files, so a crash or endless loop there costs that
// process, not this one. A reader that sends nothing for its silence limit
// while this side waits is killed, and the request fails with a Failure; the
// next request starts a new reader.
//
// Beside its tables the file's system tables (MSysObjects, ...) are offered
// read-only; its saved select queries become views, its other queries names
// that refuse with their kind, and its links tables read from their back end
// through a reader of its own (or names that say why they cannot be read).
//
// Rows once read stay in memory (within a budget) until the file changes, so
// the inner table of a join, or the next statement, does not read the file
// again. Table and column names are those of the file; SQLite matches them
// without regard to letter case (ASCII letters only). Text columns compare
// without regard to case in every alphabet, and Yes/No columns hold -1.
//
// Used on one thread at a time; result sets must be closed before the
// database is destroyed. The readers die with the thread that started them,
// so a program keeps one thread for all its work on the database.
class JetDatabase final : public Database
{
public:
    // True when `header` (the file's first bytes) carries the signature of
    // Jet or ACE at offset 4.
    [[nodiscard]] static bool hasSignature(QByteArrayView header);

    // The table that lists the file's saved queries: name, kind, Access
    // SQL, the SQL that runs, and why one cannot run. Record sources of forms
    // and reports (~sq_...) are left out.
    [[nodiscard]] static QString queryListName();

    // Opens the file read-only and reads its catalog; Failure when it
    // cannot be read.
    // A reader that stays silent for `readerSilenceLimitMs` while the
    // program waits for it is killed. A file saved with "Encrypt with
    // Password" is opened with the password `askPassword` gives; the key
    // made from it is kept (and handed to each reader) until the database
    // is destroyed, the password itself not at all.
    JetDatabase(const QString &path, int readerSilenceLimitMs, const PasswordPrompt &askPassword = {});
    ~JetDatabase() override;

    std::unique_ptr<Recordset> openRecordset(const QString &sql) override;
    // Always fails: the file is never written.
    void execute(const QString &sql) override;
    qint64 countRows(const QString &select) override;
    // Saved queries ask for their parameters through `prompt`.
    void setParameterPrompt(ParameterPrompt prompt) override;
    void interrupt() override;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace morvane

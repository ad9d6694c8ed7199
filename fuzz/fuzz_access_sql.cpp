// The Access SQL translator over any text: it must not crash or hang; what
// it cannot translate is a Failure, and what it translates is one statement
// that SQLite can read (it may name tables and columns that do not exist).
#include "AccessSqlTranslator.h"
#include "Failure.h"
#include "FuzzText.h"

#include <sqlite3.h>

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = fuzz::utf16Of(data, size);
    AccessSqlContext context;
    context.runSelect = [](const QString &) {
        return AccessSqlRows{{QStringLiteral("a")}, {{FieldValue(qint64(1))}, {FieldValue()}}};
    };
    AccessSqlTranslation translation;
    try {
        translation = AccessSqlTranslator::translate(text, context);
    } catch (const Failure &) {
        return 0;
    }
    if (translation.sql.isEmpty())
        fuzz::fail("an empty translation");
    sqlite3 *db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_stmt *statement = nullptr;
    const char *tail = nullptr;
    const QByteArray sql = translation.sql.toUtf8();
    const int rc = sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &statement, &tail);
    // A syntax error in the output would be the translator's own fault;
    // unknown names and functions are not.
    if (rc != SQLITE_OK && QByteArray(sqlite3_errmsg(db)).contains("syntax error"))
        fuzz::fail("SQL that SQLite cannot parse");
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return 0;
}

#include "SqliteConnection.h"

#include "Failure.h"
#include "SqlText.h"

#include <sqlite3.h>

namespace morvane {

void SqliteCloser::operator()(sqlite3 *db) const
{
    sqlite3_close_v2(db);
}

void SqliteFinalizer::operator()(sqlite3_stmt *statement) const
{
    sqlite3_finalize(statement);
}

namespace {

// Skips white space and comments, so that a trailing semicolon or comment
// after the one statement is not mistaken for a second statement.
bool onlyBlankOrComments(const QChar *tail, const QChar *end)
{
    const QChar *p = tail;
    while (p < end) {
        if (p->isSpace() || *p == u';') {
            ++p;
        } else if (*p == u'-' && p + 1 < end && p[1] == u'-') {
            while (p < end && *p != u'\n')
                ++p;
        } else if (*p == u'/' && p + 1 < end && p[1] == u'*') {
            p += 2;
            while (p + 1 < end && !(*p == u'*' && p[1] == u'/'))
                ++p;
            p = p + 2 < end ? p + 2 : end;
        } else {
            return false;
        }
    }
    return true;
}

class SqliteRecordset final : public Recordset
{
public:
    SqliteRecordset(SqliteConnection &connection, SqliteStatement statement)
        : m_connection(connection), m_statement(std::move(statement))
    {
        m_columnCount = sqlite3_column_count(m_statement.get());
        step();
    }

    bool eof() const override { return m_eof; }

    void moveNext() override
    {
        if (m_eof)
            throw Failure(QStringLiteral("No current record."));
        ++m_passed;
        step();
    }

    qint64 recordCount() const override { return m_passed; }

    int fieldCount() const override { return m_columnCount; }

    QString fieldName(int index) const override
    {
        if (!m_statement)
            throw Failure(QStringLiteral("The result set is closed."));
        const void *name = sqlite3_column_name16(m_statement.get(), index);
        return name ? QString::fromUtf16(static_cast<const char16_t *>(name)) : QString();
    }

    FieldValue value(int index) const override
    {
        if (m_eof || !m_statement)
            throw Failure(QStringLiteral("No current record."));
        if (index < 0 || index >= m_columnCount)
            throw Failure(QStringLiteral("Item not found in this collection."));
        sqlite3_stmt *s = m_statement.get();
        switch (sqlite3_column_type(s, index)) {
        case SQLITE_INTEGER:
            return FieldValue(qint64(sqlite3_column_int64(s, index)));
        case SQLITE_FLOAT:
            return FieldValue(sqlite3_column_double(s, index));
        case SQLITE_TEXT: {
            // One conversion, straight from SQLite's own UTF-8: asking SQLite
            // for UTF-16 would convert into a buffer of its own and copy again.
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, index));
            return FieldValue(QString::fromUtf8(text, sqlite3_column_bytes(s, index)));
        }
        case SQLITE_BLOB: {
            const void *blob = sqlite3_column_blob(s, index);
            return FieldValue(QByteArray(static_cast<const char *>(blob), sqlite3_column_bytes(s, index)));
        }
        default:
            return FieldValue();
        }
    }

    void close() override
    {
        m_statement.reset();
        m_eof = true;
    }

private:
    void step()
    {
        const int rc = sqlite3_step(m_statement.get());
        if (rc == SQLITE_ROW)
            return;
        m_eof = true;
        if (rc != SQLITE_DONE) {
            const QString error = m_connection.errorText();
            m_statement.reset();
            throw Failure(error);
        }
    }

    SqliteConnection &m_connection;
    SqliteStatement m_statement;
    int m_columnCount = 0;
    qint64 m_passed = 0;
    bool m_eof = false;
};

} // namespace

SqliteConnection::SqliteConnection(SqliteHandle db) : m_db(std::move(db)) {}

QString SqliteConnection::errorText() const
{
    if (m_guard && !m_guard->refusal().isEmpty())
        return m_guard->refusal();
    const void *message = sqlite3_errmsg16(m_db.get());
    return message ? QString::fromUtf16(static_cast<const char16_t *>(message)) : QString();
}

void SqliteConnection::fail() const
{
    throw Failure(errorText());
}

SqliteStatement SqliteConnection::prepareSingle(const QString &sql)
{
    sqlite3_stmt *raw = nullptr;
    const void *tail = nullptr;
    const int bytes = int(sql.size() * sizeof(QChar));
    if (sqlite3_prepare16_v3(m_db.get(), sql.utf16(), bytes, 0, &raw, &tail) != SQLITE_OK)
        fail();
    SqliteStatement statement(raw);
    if (!statement)
        throw Failure(QStringLiteral("The statement is empty."));
    const QChar *end = sql.constData() + sql.size();
    if (tail && !onlyBlankOrComments(static_cast<const QChar *>(tail), end))
        throw Failure(QStringLiteral("Characters found after end of SQL statement."));
    return statement;
}

SqliteStatement SqliteConnection::prepareReading(const QString &sql)
{
    SqliteStatement statement = prepareSingle(sql);
    if (!sqlite3_stmt_readonly(statement.get()) && !(m_guard && m_guard->onlyReadASetting()))
        throw Failure(QStringLiteral("Only a statement that reads can be opened as a result set; run action statements with Execute."));
    return statement;
}

void SqliteConnection::guardTypedStatements()
{
    if (!m_guard)
        m_guard = std::make_unique<SqliteGuard>(m_db.get());
}

bool SqliteConnection::takeJournalModeChange()
{
    return m_guard && m_guard->takeJournalModeChange();
}

void SqliteConnection::useRule(SqliteGuard::Rule rule)
{
    if (m_guard)
        m_guard->use(rule);
}

std::unique_ptr<Recordset> SqliteConnection::openRecordset(const QString &sql)
{
    startStatement();
    useRule(SqliteGuard::Rule::Get);
    SqliteStatement statement = prepareReading(sql);
    useRule(SqliteGuard::Rule::GetRunning);
    return std::make_unique<SqliteRecordset>(*this, std::move(statement));
}

qint64 SqliteConnection::countRows(const QString &select)
{
    startStatement();
    useRule(SqliteGuard::Rule::Get);
    // The statement is checked on its own first, so the count can only ever
    // run a statement that Get itself would run.
    prepareReading(select).reset();
    // Counting over the statement as a derived table gives the right count
    // for grouped, distinct and limited statements and unions alike. What
    // trails the statement is cut off, so that a closing comment or semicolon
    // cannot swallow or end the count before its parenthesis.
    QString count = QStringLiteral("select count(*) from (\n");
    count += SqlText::withoutTrailingTrivia(select);
    count += QStringLiteral("\n)");
    SqliteStatement statement = prepareReading(count);
    useRule(SqliteGuard::Rule::GetRunning);
    const int rc = sqlite3_step(statement.get());
    if (rc != SQLITE_ROW)
        fail();
    return sqlite3_column_int64(statement.get(), 0);
}

void SqliteConnection::interrupt()
{
    if (m_lockWait)
        m_lockWait->interrupted = true;
    sqlite3_interrupt(m_db.get());
}

void SqliteConnection::waitForLocks(int timeoutMs, const std::atomic_bool *cancelled)
{
    if (!m_lockWait)
        m_lockWait = std::make_unique<LockWait>();
    m_lockWait->timeoutMs = timeoutMs;
    m_lockWait->cancelled = cancelled;
    sqlite3_busy_handler(m_db.get(), &SqliteConnection::onBusy, m_lockWait.get());
}

// SQLite's own timeout sleeps through an interrupt: a Cancel would wait for
// it to run out. This one looks again every few milliseconds.
int SqliteConnection::onBusy(void *context, int attempts)
{
    constexpr int stepMs = 5;
    auto *wait = static_cast<LockWait *>(context);
    const auto now = std::chrono::steady_clock::now();
    if (attempts == 0)
        wait->since = now;
    const bool stopped = wait->interrupted || (wait->cancelled && *wait->cancelled);
    if (stopped || now - wait->since >= std::chrono::milliseconds(wait->timeoutMs))
        return 0;
    sqlite3_sleep(stepMs);
    return 1;
}

void SqliteConnection::startStatement()
{
    if (m_lockWait)
        m_lockWait->interrupted = false;
}

void SqliteConnection::execute(const QString &sql)
{
    startStatement();
    useRule(SqliteGuard::Rule::Execute);
    SqliteStatement statement = prepareSingle(sql);
    if (sqlite3_stmt_readonly(statement.get()) && sqlite3_column_count(statement.get()) > 0)
        throw Failure(QStringLiteral("Cannot execute a select query."));
    useRule(SqliteGuard::Rule::ExecuteRunning);
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    }
    const QString error = rc == SQLITE_DONE ? QString() : errorText();
    statement.reset();
    endOpenTransaction();
    if (!error.isNull())
        throw Failure(error);
}

void SqliteConnection::endOpenTransaction()
{
    if (sqlite3_get_autocommit(m_db.get()))
        return;
    useRule(SqliteGuard::Rule::Internal);
    sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw Failure(QStringLiteral("The statement left a transaction open; it was rolled back."));
}

void SqliteConnection::run(const char *sql)
{
    useRule(SqliteGuard::Rule::Internal);
    char *message = nullptr;
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const QString text = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db.get()));
        sqlite3_free(message);
        throw Failure(text);
    }
}

} // namespace morvane

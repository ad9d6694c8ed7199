#include "PostgresDatabase.h"

#include "Failure.h"
#include "PostgresConnectionString.h"
#include "SqlText.h"

#include <QFileInfo>
#include <QStringList>

#include <libpq-fe.h>

#include <charconv>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace morvane {

void PgConnCloser::operator()(PGconn *connection) const
{
    PQfinish(connection);
}

void PgResultClearer::operator()(PGresult *result) const
{
    PQclear(result);
}

namespace {

struct ConninfoFreer
{
    void operator()(PQconninfoOption *options) const { PQconninfoFree(options); }
};
using Conninfo = std::unique_ptr<PQconninfoOption, ConninfoFreer>;

const QString cancelledByUser = QStringLiteral("canceling statement due to user request");

// Type oids of the built-in types converted to something other than text.
enum : Oid {
    boolOid = 16,
    byteaOid = 17,
    int8Oid = 20,
    int2Oid = 21,
    int4Oid = 23,
    oidOid = 26,
};

bool isUri(QStringView text)
{
    // libpq recognises its URI prefixes in exactly this spelling.
    return text.startsWith(u"postgresql://") || text.startsWith(u"postgres://");
}

Conninfo parseConninfo(const QByteArray &text)
{
    char *error = nullptr;
    Conninfo options(PQconninfoParse(text.constData(), &error));
    PQfreemem(error);
    return options;
}

// The options libpq itself treats as secret (a password, the SSL key's
// password), by their display flag.
bool isSecret(const PQconninfoOption &option)
{
    return option.dispchar && option.dispchar[0] == '*';
}

bool isSecretKeyword(QByteArrayView keyword)
{
    const Conninfo defaults(PQconndefaults());
    for (const PQconninfoOption *option = defaults.get(); option && option->keyword; ++option) {
        if (isSecret(*option) && keyword == option->keyword)
            return true;
    }
    return false;
}

bool carriesSecret(const QByteArray &text)
{
    const Conninfo options = parseConninfo(text);
    for (const PQconninfoOption *option = options.get(); option && option->keyword; ++option) {
        if (isSecret(*option) && option->val && option->val[0])
            return true;
    }
    return false;
}

// A URI without the password of its user-info ("user:secret@") and without
// secret query parameters ("?password=..."). libpq takes the user-info to end
// at the first '@' before any '/', and the password to start at its first ':'.
QString uriWithoutSecrets(const QString &uri)
{
    const qsizetype start = uri.indexOf(u"://") + 3;
    qsizetype end = start;
    while (end < uri.size() && uri[end] != u'@' && uri[end] != u'/')
        ++end;
    QString text = uri;
    if (end < uri.size() && uri[end] == u'@') {
        const qsizetype colon = uri.indexOf(u':', start);
        if (colon >= 0 && colon < end)
            text.remove(colon, end - colon);
    }
    const qsizetype query = text.indexOf(u'?');
    if (query < 0)
        return text;
    QStringList kept;
    for (const QString &parameter : text.mid(query + 1).split(u'&')) {
        const QByteArray key = QByteArray::fromPercentEncoding(parameter.section(u'=', 0, 0).toUtf8());
        if (!isSecretKeyword(key))
            kept.append(parameter);
    }
    text.truncate(query);
    return kept.isEmpty() ? text : text + u'?' + kept.join(u'&');
}

// Where each "keyword = value" of a key/value string starts and ends, by
// libpq's rules: white space between, a value single-quoted or bare, a
// backslash escaping the next letter in either.
struct Setting
{
    qsizetype begin;
    qsizetype end;
    QString keyword;
};

std::vector<Setting> keyValueSettings(const QString &text)
{
    std::vector<Setting> settings;
    qsizetype i = 0;
    const qsizetype size = text.size();
    const auto skipSpace = [&] {
        while (i < size && text[i].isSpace())
            ++i;
    };
    while (true) {
        skipSpace();
        if (i >= size)
            break;
        Setting setting{i, i, {}};
        while (i < size && text[i] != u'=' && !text[i].isSpace())
            ++i;
        setting.keyword = text.mid(setting.begin, i - setting.begin);
        skipSpace();
        if (i < size && text[i] == u'=')
            ++i;
        skipSpace();
        const bool quoted = i < size && text[i] == u'\'';
        if (quoted)
            ++i;
        while (i < size && (quoted ? text[i] != u'\'' : !text[i].isSpace())) {
            if (text[i] == u'\\')
                ++i;
            ++i;
        }
        if (quoted && i < size)
            ++i;
        setting.end = qMin(i, size);
        settings.push_back(setting);
    }
    return settings;
}

QString keyValueWithoutSecrets(const QString &text)
{
    QString kept = text;
    const std::vector<Setting> settings = keyValueSettings(text);
    for (auto setting = settings.rbegin(); setting != settings.rend(); ++setting) {
        if (!isSecretKeyword(setting->keyword.toUtf8()))
            continue;
        // The setting goes with the white space before it, or after it when
        // it stands first.
        qsizetype begin = setting->begin;
        qsizetype end = setting->end;
        while (begin > 0 && kept[begin - 1].isSpace())
            --begin;
        if (begin == 0) {
            while (end < kept.size() && kept[end].isSpace())
                ++end;
        }
        kept.remove(begin, end - begin);
    }
    return kept;
}

// The options rebuilt from what libpq parsed, for a string whose secret the
// cuts above could not find.
QString rebuiltWithoutSecrets(const QByteArray &text)
{
    const Conninfo options = parseConninfo(text);
    QStringList settings;
    for (const PQconninfoOption *option = options.get(); option && option->keyword; ++option) {
        if (isSecret(*option) || !option->val)
            continue;
        QString value = QString::fromUtf8(option->val);
        value.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
        settings.append(QStringLiteral("%1='%2'").arg(QString::fromUtf8(option->keyword), value));
    }
    return settings.join(u' ');
}

QString trimmedMessage(const char *message)
{
    return QString::fromUtf8(message).trimmed();
}

// The first line of libpq's message on what went wrong on `connection`.
QString connectionError(const PGconn *connection)
{
    return trimmedMessage(PQerrorMessage(connection)).section(u'\n', 0, 0);
}

FieldValue integerValue(std::string_view text)
{
    qint64 value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return FieldValue(value);
}

// The server sends every value as text (the connection asks for ISO dates,
// hex bytea and the shortest exact text of a float). Numbers that are not
// integers keep that text: it is exact, reads back as the same value, and
// has the same form in every row whatever the user's locale. Booleans,
// integers and bytes are handed over as the other backends hand them.
FieldValue convert(Oid type, const char *data, int length)
{
    const std::string_view text(data, std::size_t(length));
    switch (type) {
    case boolOid:
        return FieldValue(qint64(text == "t" ? 1 : 0));
    case int2Oid:
    case int4Oid:
    case int8Oid:
    case oidOid:
        return integerValue(text);
    case byteaOid:
        if (text.starts_with("\\x"))
            return FieldValue(QByteArray::fromHex(QByteArray::fromRawData(data + 2, length - 2)));
        return FieldValue(QByteArray(data, length));
    default:
        return FieldValue(QString::fromUtf8(data, length));
    }
}

// A blocking libpq connect on a thread of its own, which the caller can stop
// waiting for: a server that never answers holds only that thread, which
// closes the connection when libpq's own timeout ends it.
struct ConnectAttempt
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    PGconn *connection = nullptr;
};

constexpr auto stopPollInterval = std::chrono::milliseconds(20);

PgConnection attemptConnection(const QByteArray &typed, int timeoutSeconds, const std::atomic_bool *stop)
{
    auto attempt = std::make_shared<ConnectAttempt>();
    std::thread([attempt, typed, timeout = QByteArray::number(timeoutSeconds)] {
        // Later settings override earlier ones: the typed string may set its
        // own timeouts, but the client encoding stays the one this code
        // decodes. A network that dies is noticed within a minute, on the
        // session and on its cancel requests, which libpq sends with the
        // same settings: data unacknowledged for 30 s, or an idle line whose
        // probes go unanswered.
        const char *const keywords[] = {"connect_timeout",  "tcp_user_timeout", "keepalives_idle", "keepalives_interval",
                                        "keepalives_count", "dbname",           "client_encoding", "fallback_application_name",
                                        nullptr};
        const char *const values[] = {timeout.constData(), "30000", "30", "10", "3", typed.constData(), "UTF8", "morvane",
                                      nullptr};
        PGconn *connection = PQconnectdbParams(keywords, values, 1);
        const std::lock_guard lock(attempt->mutex);
        if (attempt->abandoned)
            PQfinish(connection);
        else
            attempt->connection = connection;
        attempt->done = true;
        attempt->finished.notify_all();
    }).detach();
    std::unique_lock lock(attempt->mutex);
    while (!attempt->finished.wait_for(lock, stopPollInterval, [&attempt] { return attempt->done; })) {
        if (stop && stop->load()) {
            attempt->abandoned = true;
            throw Failure(QStringLiteral("The connection attempt was cancelled."));
        }
    }
    return PgConnection(attempt->connection);
}

// A cancel request is sent again only after this, while the statement runs on.
constexpr qint64 cancelRepeatMs = 2000;

const QString givenUp = QStringLiteral("The server did not answer after Cancel; the connection was given up.");

} // namespace

// The cancel request of one session. It is sent from a thread of its own,
// which may wait on a silent network for as long as the system lets it and
// so keeps the request alive after the session is gone.
struct CancelLine
{
    explicit CancelLine(PGconn *connection) : request(PQgetCancel(connection)) {}
    ~CancelLine() { PQfreeCancel(request); }
    CancelLine(const CancelLine &) = delete;
    CancelLine &operator=(const CancelLine &) = delete;

    PGcancel *request;
    std::atomic_bool sending = false;
};

// A forward-only walk over the read's rows as they arrive, one in hand.
class PostgresRecordset final : public Recordset
{
public:
    PostgresRecordset(PostgresDatabase &database, quint64 readId)
        : m_database(database), m_readId(readId), m_row(database.nextRow())
    {
        const int fields = PQnfields(m_row.get());
        for (int i = 0; i < fields; ++i) {
            m_names.append(QString::fromUtf8(PQfname(m_row.get(), i)));
            m_types.push_back(PQftype(m_row.get(), i));
        }
        takeRow();
    }

    ~PostgresRecordset() override { m_database.endRead(m_readId); }

    bool eof() const override { return m_eof; }

    void moveNext() override
    {
        if (m_eof)
            throw Failure(QStringLiteral("No current record."));
        ++m_passed;
        m_row = m_database.nextRow();
        takeRow();
    }

    qint64 recordCount() const override { return m_passed; }
    int fieldCount() const override { return int(m_names.size()); }

    QString fieldName(int index) const override { return m_names.value(index); }

    FieldValue value(int index) const override
    {
        if (m_eof || !m_row)
            throw Failure(QStringLiteral("No current record."));
        if (index < 0 || index >= fieldCount())
            throw Failure(QStringLiteral("Item not found in this collection."));
        PGresult *row = m_row.get();
        if (PQgetisnull(row, 0, index))
            return FieldValue();
        return convert(m_types[std::size_t(index)], PQgetvalue(row, 0, index), PQgetlength(row, 0, index));
    }

    void close() override
    {
        if (!m_eof)
            m_database.keepForCount(m_readId);
        m_row.reset();
        m_eof = true;
    }

private:
    // The result that ends the rows carries none: the transaction has
    // nothing more to give and ends at once.
    void takeRow()
    {
        if (PQresultStatus(m_row.get()) == PGRES_SINGLE_TUPLE)
            return;
        m_eof = true;
        m_row.reset();
        m_database.endRead(m_readId);
    }

    PostgresDatabase &m_database;
    quint64 m_readId;
    PgResult m_row;
    QStringList m_names;
    std::vector<Oid> m_types;
    bool m_eof = false;
    qint64 m_passed = 0;
};

bool PostgresDatabase::isConnectionString(const QString &path)
{
    if (isUri(path))
        return true;
    return path.contains(u'=') && parseConninfo(path.toUtf8()) && !QFileInfo::exists(path);
}

QString PostgresDatabase::withoutPassword(const QString &connection)
{
    if (!isConnectionString(connection))
        return connection;
    const QString kept = isUri(connection) ? uriWithoutSecrets(connection) : keyValueWithoutSecrets(connection);
    const QByteArray keptText = kept.toUtf8();
    if (parseConninfo(keptText) && !carriesSecret(keptText))
        return kept;
    return rebuiltWithoutSecrets(connection.toUtf8());
}

PostgresDatabase::Wakeup::Wakeup() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_fd < 0)
        throw Failure(QStringLiteral("Out of system resources (eventfd)."));
}

PostgresDatabase::Wakeup::~Wakeup()
{
    ::close(m_fd);
}

void PostgresDatabase::Wakeup::signal() const
{
    const std::uint64_t one = 1;
    (void)!::write(m_fd, &one, sizeof one);
}

void PostgresDatabase::Wakeup::drain() const
{
    std::uint64_t count = 0;
    (void)!::read(m_fd, &count, sizeof count);
}

PostgresDatabase::PostgresDatabase(const QString &connection, const EngineTimeouts &timeouts,
                                   const std::atomic_bool *cancelled)
    : m_connectionString(connection), m_timeouts(timeouts)
{
    connect(cancelled);
}

// The server ends the session's transaction when the connection closes: no
// need to wait on a server that may not answer.
PostgresDatabase::~PostgresDatabase() = default;

void PostgresDatabase::connect(const std::atomic_bool *cancelled)
{
    PgConnection connection = attemptConnection(m_connectionString.toUtf8(), m_timeouts.connectSeconds, cancelled);
    if (!connection)
        throw Failure(QStringLiteral("Out of memory."));
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        const QString message = trimmedMessage(PQerrorMessage(connection.get()));
        throw Failure(PostgresConnectionString::withoutSecrets(message, m_connectionString));
    }
    // Every wait on the socket is this code's own, so that it can end.
    PQsetnonblocking(connection.get(), 1);
    PQsetNoticeReceiver(connection.get(), &PostgresDatabase::noticeReceived, this);
    m_endedByServer = false;
    {
        const std::lock_guard lock(m_cancelMutex);
        m_cancelLine = std::make_shared<CancelLine>(connection.get());
    }
    m_connection = std::move(connection);
    // Values arrive as text; these settings make that text what the
    // conversion expects whatever the server's own defaults are.
    run("SET DateStyle = ISO, YMD; SET bytea_output = hex; SET extra_float_digits = 3");
}

void PostgresDatabase::reconnectIfEnded()
{
    if (m_connection && sessionGoesOn())
        return;
    dropConnection();
    connect(&m_interrupted);
}

// An idle session has nothing to read unless the server is ending it (a
// shutdown, a terminated backend, an idle timeout): its last word and the
// end of the connection are taken in here, before a statement is sent.
bool PostgresDatabase::sessionGoesOn()
{
    PGconn *connection = m_connection.get();
    pollfd socket{PQsocket(connection), POLLIN, 0};
    while (!m_endedByServer && PQstatus(connection) == CONNECTION_OK && ::poll(&socket, 1, 0) > 0) {
        if (!PQconsumeInput(connection))
            break;
    }
    return !m_endedByServer && PQstatus(connection) == CONNECTION_OK;
}

// What the server says outside an answer: only that the session ends matters.
void PostgresDatabase::noticeReceived(void *database, const PGresult *notice)
{
    const char *severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (severity && (qstrcmp(severity, "FATAL") == 0 || qstrcmp(severity, "PANIC") == 0))
        static_cast<PostgresDatabase *>(database)->m_endedByServer = true;
}

void PostgresDatabase::dropConnection() noexcept
{
    m_reading = false;
    m_streaming = false;
    m_keptForCount = false;
    {
        const std::lock_guard lock(m_cancelMutex);
        m_cancelLine.reset();
    }
    m_connection.reset();
}

void PostgresDatabase::lose(const QString &why)
{
    dropConnection();
    throw ConnectionLost(why.isEmpty() ? QStringLiteral("The connection to the server was lost.")
                                       : QStringLiteral("The connection to the server was lost: %1").arg(why));
}

void PostgresDatabase::giveUp()
{
    dropConnection();
    throw ConnectionLost(givenUp);
}

void PostgresDatabase::startCall()
{
    forgetInterrupt();
    endRead();
}

void PostgresDatabase::forgetInterrupt()
{
    m_interrupted = false;
    m_interruptedFor.invalidate();
}

void PostgresDatabase::throwIfInterrupted() const
{
    if (m_interrupted.load())
        throw Failure(cancelledByUser);
}

PgResult PostgresDatabase::checked(PgResult result)
{
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return result;
    if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) {
        // The session is in the middle of the copy; ending it is the one way
        // out that neither sends nor waits for the data.
        result.reset();
        dropConnection();
        throw Failure(QStringLiteral("Copying to or from the client (copy ... to stdout, copy ... from stdin) is "
                                     "not supported."));
    }
    QString message;
    if (status == PGRES_EMPTY_QUERY)
        message = QStringLiteral("The statement is empty.");
    else if (const char *primary = result ? PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr)
        message = trimmedMessage(primary);
    else
        message = connectionError(m_connection.get());
    const char *severity = result ? PQresultErrorField(result.get(), PG_DIAG_SEVERITY_NONLOCALIZED) : nullptr;
    const bool sessionEnded = PQstatus(m_connection.get()) != CONNECTION_OK
        || (severity && (qstrcmp(severity, "FATAL") == 0 || qstrcmp(severity, "PANIC") == 0));
    result.reset();
    if (sessionEnded)
        lose(message);
    endRead();
    throw Failure(message.isEmpty() ? QStringLiteral("The server did not answer.") : message);
}

PgResult PostgresDatabase::run(const char *sql)
{
    throwIfInterrupted();
    ++m_statementsSent;
    return checked(exchange(sql, false));
}

PgResult PostgresDatabase::runSingle(const QByteArray &sql)
{
    throwIfInterrupted();
    ++m_statementsSent;
    return checked(exchange(sql, true));
}

// PQexec's answer without its blocking wait.
PgResult PostgresDatabase::exchange(const QByteArray &sql, bool single)
{
    if (!m_connection)
        lose({});
    PGconn *connection = m_connection.get();
    const int sent = single ? PQsendQueryParams(connection, sql.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0)
                            : PQsendQuery(connection, sql.constData());
    if (!sent)
        return {};
    flush();
    return collect();
}

void PostgresDatabase::flush()
{
    PGconn *connection = m_connection.get();
    while (const int unsent = PQflush(connection)) {
        if (unsent < 0 || (await(POLLIN | POLLOUT), !PQconsumeInput(connection)))
            lose(connectionError(connection));
    }
}

// The next result of the statement sent, null after its last.
PgResult PostgresDatabase::awaitResult()
{
    PGconn *connection = m_connection.get();
    while (PQisBusy(connection)) {
        await(POLLIN);
        if (!PQconsumeInput(connection))
            lose(connectionError(connection));
    }
    return PgResult(PQgetResult(connection));
}

// The rest of the statement's results: the first failure among them, else
// the last; a copy at once, since it has no end of its own.
PgResult PostgresDatabase::collect()
{
    PgResult kept;
    while (PgResult next = awaitResult()) {
        const ExecStatusType status = PQresultStatus(next.get());
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH)
            return next;
        if (!kept || PQresultStatus(kept.get()) != PGRES_FATAL_ERROR)
            kept = std::move(next);
    }
    return kept;
}

void PostgresDatabase::await(short events)
{
    pollfd watched[2] = {{PQsocket(m_connection.get()), events, 0}, {m_wakeup.fd(), POLLIN, 0}};
    while (true) {
        int timeoutMs = -1;
        if (m_interrupted.load()) {
            if (!m_interruptedFor.isValid())
                m_interruptedFor.start();
            const qint64 left = m_timeouts.cancelGiveUpMs - m_interruptedFor.elapsed();
            if (left <= 0)
                giveUp();
            timeoutMs = int(left);
        }
        watched[0].revents = 0;
        watched[1].revents = 0;
        if (::poll(watched, 2, timeoutMs) < 0 && errno != EINTR)
            lose(QString::fromLocal8Bit(std::strerror(errno)));
        if (watched[1].revents)
            m_wakeup.drain();
        if (watched[0].revents)
            return;
    }
}

quint64 PostgresDatabase::beginRead(const QString &select)
{
    const quint64 readId = ++m_readId;
    // Repeatable read: the rows shown and their count come from one snapshot,
    // which outlives the savepoint that a read stopped early rolls back to.
    run("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY; SAVEPOINT morvane_rows");
    m_reading = true;
    m_readSelect = select;
    m_fetched = 0;
    m_total.reset();
    m_keptForCount = false;
    // A plain statement, not a cursor, so that the server may plan it with
    // parallel workers; the rows are taken one by one as they arrive, and
    // those past what the caller reads stay on the server.
    throwIfInterrupted();
    ++m_statementsSent;
    if (!PQsendQueryParams(m_connection.get(), select.toUtf8().constData(), 0, nullptr, nullptr, nullptr, nullptr, 0))
        (void)checked({});
    PQsetSingleRowMode(m_connection.get());
    m_streaming = true;
    flush();
    return readId;
}

PgResult PostgresDatabase::nextRow()
{
    PgResult row = awaitResult();
    const ExecStatusType status = PQresultStatus(row.get());
    if (status == PGRES_SINGLE_TUPLE) {
        ++m_fetched;
        return row;
    }
    // The last result: the end of the rows or a failure.
    m_streaming = false;
    PgResult rest = collect();
    if (status == PGRES_TUPLES_OK && !rest)
        m_total = m_fetched;
    return checked(rest ? std::move(rest) : std::move(row));
}

// The rows past those read are not wanted: a cancel request stops the
// server's work on them, and what it sent meanwhile is counted and dropped.
// A statement that ended before the request arrived has its count.
void PostgresDatabase::stopRows()
{
    if (!m_streaming)
        return;
    const std::shared_ptr<CancelLine> line = startCancel(true);
    qint64 passed = m_fetched;
    ExecStatusType last = PGRES_FATAL_ERROR;
    while (PgResult result = awaitResult()) {
        last = PQresultStatus(result.get());
        if (last == PGRES_SINGLE_TUPLE)
            ++passed;
        else if (last != PGRES_TUPLES_OK)
            break;
    }
    (void)collect();
    m_streaming = false;
    // The request must not land on the next statement.
    if (line) {
        QElapsedTimer waited;
        waited.start();
        while (line->sending.load()) {
            if (waited.elapsed() > m_timeouts.cancelGiveUpMs)
                giveUp();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (last == PGRES_TUPLES_OK)
        m_total = passed;
    else
        run("ROLLBACK TO SAVEPOINT morvane_rows");
}

void PostgresDatabase::keepForCount(quint64 readId)
{
    if (!m_reading || readId != m_readId)
        return;
    try {
        stopRows();
        m_keptForCount = true;
    } catch (const ConnectionLost &) {
        // The run must hear of it: counting on a new session would run the
        // statement again.
        throw;
    } catch (const Failure &) {
        // The count is then made on its own.
    }
}

void PostgresDatabase::endRead(quint64 readId) noexcept
{
    if (readId == m_readId)
        endRead();
}

bool PostgresDatabase::inTransaction() const
{
    if (!m_connection)
        return false;
    const PGTransactionStatusType status = PQtransactionStatus(m_connection.get());
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
}

void PostgresDatabase::endRead() noexcept
{
    const bool wasReading = m_reading;
    m_reading = false;
    m_keptForCount = false;
    try {
        stopRows();
        // The transaction only read, so rolling back ends it as well as a
        // commit and also ends one that a failure or a cancel left aborted.
        // A repeated cancel request can land on the rollback itself, which
        // is then retried.
        for (int attempt = 0; attempt < 3 && inTransaction(); ++attempt)
            (void)exchange("ROLLBACK", false);
        // A select may take session locks (pg_advisory_lock) that would
        // outlive the Get and block other sessions while this one idles.
        if (wasReading && m_connection)
            (void)exchange("SELECT pg_advisory_unlock_all()", false);
    } catch (const Failure &) {
        // The session was lost or given up; the next call connects again.
    }
}

std::unique_ptr<Recordset> PostgresDatabase::openRecordset(const QString &sql)
{
    startCall();
    reconnectIfEnded();
    const quint64 readId = beginRead(sql);
    return std::make_unique<PostgresRecordset>(*this, readId);
}

void PostgresDatabase::execute(const QString &sql)
{
    startCall();
    reconnectIfEnded();
    runSingle(sql.toUtf8());
    // Each statement commits on its own; a transaction left open would hold
    // its locks and be ended unseen by the next Get.
    if (inTransaction()) {
        endRead();
        throw Failure(QStringLiteral("Execute runs each statement on its own; a transaction cannot be left open."));
    }
}

// Rows past those read are counted by the server in the read's own
// snapshot, unless the statement ended before it could be stopped, which
// leaves its count known. Without a read kept for it the statement is
// counted on its own, still read-only.
qint64 PostgresDatabase::countRows(const QString &select)
{
    forgetInterrupt();
    if (m_reading && m_keptForCount && m_readSelect == select) {
        const qint64 total = m_total ? *m_total : countOver(select);
        endRead();
        return total;
    }
    endRead();
    reconnectIfEnded();
    run("BEGIN READ ONLY");
    m_reading = true;
    const qint64 total = countOver(select);
    endRead();
    return total;
}

qint64 PostgresDatabase::countOver(const QString &select)
{
    const QByteArray count = "select count(*) from (\n" + SqlText::withoutTrailingTrivia(select).toUtf8()
        + "\n) as morvane_count";
    const PgResult counted = runSingle(count);
    return QByteArray(PQgetvalue(counted.get(), 0, 0)).toLongLong();
}

void PostgresDatabase::interrupt()
{
    m_interrupted = true;
    m_wakeup.signal();
    // Once for each statement, then again every few seconds while it runs
    // on: a cancel request that a silent network swallows must not be
    // followed by a flood of new connections.
    (void)startCancel(false);
}

// Sends a cancel request from a thread of its own, unless one is on its way
// or, when not `now`, one went out for this statement a moment ago. The line
// it went out on, or null.
std::shared_ptr<CancelLine> PostgresDatabase::startCancel(bool now) noexcept
{
    const std::lock_guard lock(m_cancelMutex);
    const quint64 statement = m_statementsSent.load();
    if (!m_cancelLine || m_cancelLine->sending.load())
        return {};
    if (!now && statement == m_cancelledStatement && m_lastCancel.isValid() && m_lastCancel.elapsed() < cancelRepeatMs)
        return {};
    m_cancelledStatement = statement;
    m_lastCancel.start();
    m_cancelLine->sending = true;
    try {
        std::thread([line = m_cancelLine] {
            char error[256];
            PQcancel(line->request, error, int(sizeof error));
            line->sending = false;
        }).detach();
    } catch (const std::system_error &) {
        m_cancelLine->sending = false;
        return {};
    }
    return m_cancelLine;
}

} // namespace morvane

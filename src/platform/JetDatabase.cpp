#include "JetDatabase.h"

#include "AccessFunctions.h"
#include "DatabaseError.h"
#include "SqliteConnection.h"
#include "jetreader/JetReaderProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvane {

namespace {

namespace proto = jetreader;

constexpr char jetSignature[] = "Standard Jet DB"; // with its NUL: 16 bytes
constexpr char aceSignature[] = "Standard ACE DB";
constexpr qsizetype signatureOffset = 4;

// Decoded rows kept in memory across statements, so that a table read once
// is not read again: SQLite rescans the inner table of a join once per outer
// row. A table larger than this is streamed on every scan instead.
constexpr qint64 cacheBudget = qint64(256) << 20;
// Readers kept waiting for the next request, and readers alive at once (one
// per table being streamed).
constexpr std::size_t idleReaders = 2;
constexpr int maxReaders = 8;

const QString readerName = QStringLiteral("morvane-jet-reader");

class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The reader lives next to the running program; a build tree also knows where
// it put the reader, for programs started from elsewhere.
QString findReader()
{
    QString folder;
    if (QCoreApplication::instance())
        folder = QCoreApplication::applicationDirPath();
    else
        folder = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
    const QFileInfo beside(QDir(folder).filePath(readerName));
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
#ifdef MORVANE_JET_READER_FALLBACK
    const QFileInfo built(QStringLiteral(MORVANE_JET_READER_FALLBACK));
    if (built.isFile() && built.isExecutable())
        return built.absoluteFilePath();
#endif
    return {};
}

struct Frame
{
    proto::Reply type;
    QByteArray payload;
};

// The reader went away (crashed, or was killed by someone) rather than fell
// silent or said something wrong.
class ReaderEnded : public DatabaseError
{
public:
    using DatabaseError::DatabaseError;
};

struct SpawnActions
{
    SpawnActions() { posix_spawn_file_actions_init(&value); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&value); }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;
    posix_spawn_file_actions_t value;
};

struct SpawnAttributes
{
    SpawnAttributes() { posix_spawnattr_init(&value); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    posix_spawnattr_t value;
};

// One running reader and its end of the conversation. Every wait for it is
// bounded: a reader that sends nothing for readerSilenceLimitMs is killed and
// the wait fails with DatabaseError. Destroying it kills the process; it holds
// nothing that needs an orderly end.
class ReaderProcess
{
public:
    ReaderProcess(const QString &program, int databaseFd)
    {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw DatabaseError(cannotStart(systemError(errno)));
        // A socket rather than a pipe: a reader that has died cannot raise
        // SIGPIPE here, since sends use MSG_NOSIGNAL.
        m_socket.reset(ends[0]);
        UniqueFd theirs(ends[1]);
        // Out of the way of the descriptors the child's dup2 calls fill.
        const UniqueFd childSocket(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, 10));
        const UniqueFd childDatabase(::fcntl(databaseFd, F_DUPFD_CLOEXEC, 10));
        if (!childSocket.valid() || !childDatabase.valid())
            throw DatabaseError(cannotStart(systemError(errno)));

        SpawnActions actions;
        SpawnAttributes attributes;
        // libmdb's messages and dumps go nowhere.
        posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions.value, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions.value, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions.value, childDatabase.get(), proto::databaseFd);
        posix_spawn_file_actions_adddup2(&actions.value, childSocket.get(), proto::channelFd);
        posix_spawn_file_actions_addclosefrom_np(&actions.value, proto::channelFd + 1);
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int signal : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD})
            sigaddset(&defaults, signal);
        posix_spawnattr_setsigmask(&attributes.value, &none);
        posix_spawnattr_setsigdefault(&attributes.value, &defaults);
        posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        QByteArray path = QFile::encodeName(program);
        QByteArray parent = QByteArray::number(::getpid());
        char *arguments[] = {path.data(), parent.data(), nullptr};
        char *environment[] = {nullptr};
        const int rc =
            ::posix_spawn(&m_pid, path.constData(), &actions.value, &attributes.value, arguments, environment);
        if (rc != 0) {
            m_pid = -1;
            throw DatabaseError(cannotStart(systemError(rc)));
        }
    }

    ~ReaderProcess() { stop(); }

    ReaderProcess(const ReaderProcess &) = delete;
    ReaderProcess &operator=(const ReaderProcess &) = delete;

    void send(proto::Request type, const std::string &payload = {})
    {
        if (!m_socket.valid())
            throw ReaderEnded(ended());
        std::string frame;
        proto::putU8(frame, std::uint8_t(type));
        proto::putU32(frame, std::uint32_t(payload.size()));
        frame += payload;
        const char *data = frame.data();
        std::size_t left = frame.size();
        while (left > 0) {
            const ssize_t sent = ::send(m_socket.get(), data, left, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                failEnded();
            data += sent;
            left -= std::size_t(sent);
        }
    }

    // The next frame other than Alive.
    Frame receive()
    {
        if (!m_socket.valid())
            throw ReaderEnded(ended());
        for (;;) {
            while (buffered() < qsizetype(proto::frameHeaderSize))
                fillBuffer();
            const auto *header = reinterpret_cast<const unsigned char *>(m_buffer.constData() + m_begin);
            const auto type = static_cast<proto::Reply>(header[0]);
            const std::uint32_t size = proto::getU32(header + 1);
            m_begin += qsizetype(proto::frameHeaderSize);
            if (size > proto::maxFramePayload)
                fail(garbled());
            // Grown as the bytes arrive, not allocated from the length alone.
            QByteArray payload;
            payload.reserve(std::min(qsizetype(size), largeRead));
            const qsizetype fromBuffer = std::min(buffered(), qsizetype(size));
            payload.append(m_buffer.constData() + m_begin, fromBuffer);
            m_begin += fromBuffer;
            while (payload.size() < qsizetype(size)) {
                const qsizetype had = payload.size();
                payload.resize(had + std::min(qsizetype(size) - had, largeRead));
                payload.resize(had + receiveSome(payload.data() + had, payload.size() - had));
            }
            switch (type) {
            case proto::Reply::Alive:
                continue;
            case proto::Reply::Hello:
            case proto::Reply::Catalog:
            case proto::Reply::Rows:
            case proto::Reply::End:
            case proto::Reply::Failure:
                return {type, std::move(payload)};
            }
            fail(garbled());
        }
    }

    // An idle reader sends nothing; anything to read means it has gone.
    [[nodiscard]] bool waiting() const
    {
        if (!m_socket.valid() || m_pid <= 0)
            return false;
        pollfd check{m_socket.get(), POLLIN, 0};
        return ::poll(&check, 1, 0) == 0;
    }

    // Kills the reader and raises `why`.
    [[noreturn]] void fail(const QString &why)
    {
        stop();
        throw DatabaseError(why);
    }

    // A reply other than the one the conversation expects.
    [[noreturn]] void unexpected() { fail(garbled()); }

    [[noreturn]] void failEnded()
    {
        const QString why = ended();
        throw ReaderEnded(why);
    }

private:
    static QString cannotStart(const QString &why)
    {
        return QStringLiteral("The program that reads Access files (%1) could not be started: %2")
            .arg(readerName, why);
    }
    static QString garbled()
    {
        return QStringLiteral("Reading the Access file failed: the reader's answer was garbled.");
    }
    QString ended()
    {
        stop();
        if (m_signal > 0 && m_signal != SIGKILL) {
            return QStringLiteral("Reading the Access file failed: the reader stopped (signal %1). "
                                  "The file is probably damaged.")
                .arg(m_signal);
        }
        return QStringLiteral("Reading the Access file failed: the reader stopped unexpectedly. "
                              "The file is probably damaged.");
    }
    static QString silent()
    {
        return QStringLiteral("Reading the Access file was stopped after %1 seconds without progress. "
                              "The file is probably damaged.")
            .arg(JetDatabase::readerSilenceLimitMs / 1000.0);
    }

    [[nodiscard]] qsizetype buffered() const { return m_buffer.size() - m_begin; }

    static constexpr qsizetype largeRead = 1024 * 1024;

    void fillBuffer()
    {
        // Below malloc's threshold for fresh mappings, so the buffer's pages
        // are reused rather than faulted in anew.
        constexpr qsizetype chunk = 96 * 1024;
        if (m_begin > 0) {
            m_buffer.remove(0, m_begin);
            m_begin = 0;
        }
        const qsizetype had = m_buffer.size();
        m_buffer.resize(had + chunk);
        const qsizetype got = receiveSome(m_buffer.data() + had, chunk);
        m_buffer.resize(had + got);
    }

    // Waits at most readerSilenceLimitMs for some bytes.
    qsizetype receiveSome(char *to, qsizetype size)
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(JetDatabase::readerSilenceLimitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd wait{m_socket.get(), POLLIN, 0};
            const int ready = left.count() > 0 ? ::poll(&wait, 1, int(left.count()) + 1) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0)
                fail(silent());
            if (ready < 0)
                failEnded();
            const ssize_t got = ::recv(m_socket.get(), to, std::size_t(size), 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0)
                failEnded();
            return qsizetype(got);
        }
    }

    void stop()
    {
        m_socket.reset();
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        m_pid = -1;
    }

    pid_t m_pid = -1;
    UniqueFd m_socket;
    QByteArray m_buffer;
    qsizetype m_begin = 0;
    int m_signal = 0;
};

class ReaderPool;

// A reader lent out for one conversation. Given back while it waits for the
// next request, it can serve the next one; dropped in the middle of an
// answer, it is killed.
class ReaderLease
{
public:
    ReaderLease(ReaderPool &pool, std::unique_ptr<ReaderProcess> reader, bool reused);
    ReaderLease(ReaderLease &&other) noexcept;
    ReaderLease &operator=(ReaderLease &&) = delete;
    ~ReaderLease();

    ReaderProcess *operator->() const { return m_reader.get(); }
    // The reader has answered in full and may serve someone else.
    void giveBack();
    // It served earlier requests: it may have died since, which only the
    // next request shows.
    [[nodiscard]] bool reused() const { return m_reused; }

private:
    ReaderPool *m_pool;
    std::unique_ptr<ReaderProcess> m_reader;
    bool m_reused;
};

class ReaderPool
{
public:
    ReaderPool(QString program, int databaseFd) : m_program(std::move(program)), m_databaseFd(databaseFd) {}

    ReaderLease acquire()
    {
        while (!m_idle.empty()) {
            std::unique_ptr<ReaderProcess> reader = std::move(m_idle.back());
            m_idle.pop_back();
            if (reader->waiting())
                return ReaderLease(*this, std::move(reader), true);
        }
        if (m_lent >= maxReaders)
            throw DatabaseError(QStringLiteral("The statement reads too many Access tables at once."));
        auto reader = std::make_unique<ReaderProcess>(m_program, m_databaseFd);
        const Frame hello = reader->receive();
        if (hello.type == proto::Reply::Failure)
            reader->fail(QString::fromUtf8(hello.payload));
        proto::PayloadReader fields(hello.payload.constData(), std::size_t(hello.payload.size()));
        if (hello.type != proto::Reply::Hello || fields.u32() != proto::protocolVersion || !fields.ok()) {
            reader->fail(QStringLiteral("The program that reads Access files (%1) does not match this program.")
                             .arg(readerName));
        }
        return ReaderLease(*this, std::move(reader), false);
    }

    // Readers started earlier may have read the file before it changed.
    void dropIdle() { m_idle.clear(); }

    [[nodiscard]] bool atLimit() const { return m_idle.empty() && m_lent >= maxReaders; }

private:
    friend class ReaderLease;

    void lent() { ++m_lent; }
    void returned(std::unique_ptr<ReaderProcess> reader)
    {
        --m_lent;
        if (reader && reader->waiting() && m_idle.size() < idleReaders)
            m_idle.push_back(std::move(reader));
    }

    QString m_program;
    int m_databaseFd;
    std::vector<std::unique_ptr<ReaderProcess>> m_idle;
    int m_lent = 0;
};

ReaderLease::ReaderLease(ReaderPool &pool, std::unique_ptr<ReaderProcess> reader, bool reused)
    : m_pool(&pool), m_reader(std::move(reader)), m_reused(reused)
{
    m_pool->lent();
}

ReaderLease::ReaderLease(ReaderLease &&other) noexcept
    : m_pool(std::exchange(other.m_pool, nullptr)), m_reader(std::move(other.m_reader)), m_reused(other.m_reused)
{
}

ReaderLease::~ReaderLease()
{
    if (m_pool)
        m_pool->returned(nullptr);
}

void ReaderLease::giveBack()
{
    if (m_pool)
        m_pool->returned(std::move(m_reader));
    m_pool = nullptr;
}

struct JetColumn
{
    QString name;
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

// The rows of a table as the reader sent them, frame by frame. Never changed
// once filled, so pointers into it stay valid while anyone holds it.
struct TableRows
{
    std::vector<QByteArray> batches;
    qint64 bytes = 0;
};

class TableCache
{
public:
    using Retire = std::function<void(std::shared_ptr<const TableRows>)>;

    explicit TableCache(Retire retire) : m_retire(std::move(retire)) {}

    [[nodiscard]] std::shared_ptr<const TableRows> find(std::size_t table, proto::ColumnMask columns) const
    {
        for (const Entry &entry : m_entries) {
            if (entry.table == table && proto::covers(entry.columns, columns))
                return entry.rows;
        }
        return nullptr;
    }

    void store(std::size_t table, proto::ColumnMask columns, std::shared_ptr<const TableRows> rows)
    {
        for (auto entry = m_entries.begin(); entry != m_entries.end();) {
            if (entry->table == table && proto::covers(columns, entry->columns))
                entry = forget(entry);
            else
                ++entry;
        }
        while (m_bytes + rows->bytes > cacheBudget && !m_entries.empty())
            forget(m_entries.begin());
        m_bytes += rows->bytes;
        m_entries.push_back({table, columns, std::move(rows)});
    }

    void clear()
    {
        while (!m_entries.empty())
            forget(m_entries.begin());
    }

private:
    struct Entry
    {
        std::size_t table;
        proto::ColumnMask columns;
        std::shared_ptr<const TableRows> rows;
    };

    // The oldest go first when room is needed.
    std::deque<Entry>::iterator forget(std::deque<Entry>::iterator entry)
    {
        m_bytes -= entry->rows->bytes;
        m_retire(std::move(entry->rows));
        return m_entries.erase(entry);
    }

    Retire m_retire;
    std::deque<Entry> m_entries;
    qint64 m_bytes = 0;
};

// A table being read from a reader. While it still fits the cache, its rows
// are collected for it as they arrive.
struct Stream
{
    ReaderLease reader;
    proto::ColumnMask columns;
    std::shared_ptr<TableRows> collected;
    qint64 rows = 0;
};

// What the virtual tables read from: the catalog, the readers and the cache.
//
// Values reach SQLite as pointers into the rows (no copy), so rows SQLite has
// seen are only freed when no statement is open: until then, rows leaving the
// cache wait in a graveyard. Only rows nobody collects (a table too large for
// the cache) are copied instead.
class TableSource
{
public:
    TableSource() : cache([this](std::shared_ptr<const TableRows> rows) { retire(std::move(rows)); }) {}

    std::vector<JetTable> tables;
    std::optional<ReaderPool> readers;
    TableCache cache;

    void retire(std::shared_ptr<const TableRows> rows)
    {
        if (rows)
            m_graveyard.push_back(std::move(rows));
    }

    void statementOpened() { ++m_statements; }

    void statementClosed()
    {
        if (--m_statements > 0)
            return;
        m_parked.clear();
        m_graveyard.clear();
    }

    // A scan that ended before its table did leaves its stream here, so that
    // the next scan of the table can finish it instead of starting over: in
    // a correlated sub-select SQLite reopens the inner table for every row.
    void park(std::size_t table, Stream stream)
    {
        const auto found = m_parked.find(table);
        if (found != m_parked.end()) {
            retire(std::move(found->second.collected));
            m_parked.erase(found);
        }
        m_parked.emplace(table, std::move(stream));
    }

    // Streams parked before the file changed would mix old rows with new.
    void dropParked()
    {
        for (auto &[table, stream] : m_parked)
            retire(std::move(stream.collected));
        m_parked.clear();
    }

    std::optional<Stream> unpark(std::size_t table, proto::ColumnMask columns)
    {
        const auto found = m_parked.find(table);
        if (found == m_parked.end() || !proto::covers(found->second.columns, columns))
            return std::nullopt;
        Stream stream = std::move(found->second);
        m_parked.erase(found);
        return stream;
    }

private:
    int m_statements = 0;
    std::map<std::size_t, Stream> m_parked;
    std::vector<std::shared_ptr<const TableRows>> m_graveyard;
};

[[noreturn]] void garbledRows()
{
    throw DatabaseError(QStringLiteral("Reading the Access file failed: the reader's rows were garbled."));
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
            throw DatabaseError(QString::fromUtf8(frame.payload));
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

// One scan of one table, for an SQLite cursor. Rows come from the cache when
// the table is there, else from a reader, and are then kept for the cache.
class TableScan
{
public:
    TableScan(TableSource &source, std::size_t table)
        : m_source(source), m_table(table), m_columns(source.tables[table].columns.size())
    {
    }

    ~TableScan()
    {
        try {
            leaveStream();
        } catch (...) {
            // Only the chance to finish the stream later is lost.
        }
    }

    TableScan(const TableScan &) = delete;
    TableScan &operator=(const TableScan &) = delete;

    // `used` is what SQLite says the statement needs of the table.
    void start(proto::ColumnMask used)
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

    void next()
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

    [[nodiscard]] bool eof() const { return m_eof; }
    [[nodiscard]] qint64 rowid() const { return m_rowid; }

    void column(sqlite3_context *context, int index)
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

private:
    // An unfinished stream is parked for the next scan of the table.
    void leaveStream()
    {
        if (!m_stream)
            return;
        Stream stream = std::move(*m_stream);
        m_stream.reset();
        m_source.park(m_table, std::move(stream));
    }

    // Finishes a stream an earlier scan left, when its rows can still all go
    // to the cache; reading on is cheaper than starting a reader again.
    void resumeParked(proto::ColumnMask columns)
    {
        std::optional<Stream> parked = m_source.unpark(m_table, columns);
        if (!parked || !parked->collected)
            return;
        bool collected = false;
        while (parked)
            nextBatch(m_source, m_table, parked, collected);
        m_cached = m_source.cache.find(m_table, columns);
    }

    // Moves to the next batch of rows; false at the end of the table.
    bool loadBatch()
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

    void enterRow(qsizetype at)
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

    void parseRow()
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

    TableSource &m_source;
    std::size_t m_table;
    std::size_t m_columns;
    std::shared_ptr<const TableRows> m_cached;
    std::size_t m_nextBatch = 0;
    std::optional<Stream> m_stream;
    QByteArray m_batch;
    // The batch belongs to rows kept until no statement is open, so SQLite
    // may point into it.
    bool m_anchored = false;
    qsizetype m_rowStart = 0;
    qsizetype m_rowEnd = 0;
    qint64 m_rowid = 0;
    bool m_eof = true;
    bool m_parsed = false;
    std::vector<qsizetype> m_offsets;
};

// Counts the statements open on the connection, so the source knows when
// nothing can point into its rows any more.
class JetRecordset final : public Recordset
{
public:
    JetRecordset(std::unique_ptr<Recordset> inner, TableSource &source) : m_inner(std::move(inner)), m_source(source)
    {
    }
    ~JetRecordset() override { close(); }

    bool eof() const override { return m_inner->eof(); }
    void moveNext() override { m_inner->moveNext(); }
    qint64 recordCount() const override { return m_inner->recordCount(); }
    int fieldCount() const override { return m_inner->fieldCount(); }
    QString fieldName(int index) const override { return m_inner->fieldName(index); }
    FieldValue value(int index) const override { return m_inner->value(index); }

    void close() override
    {
        if (m_closed)
            return;
        m_closed = true;
        m_inner->close();
        m_source.statementClosed();
    }

private:
    std::unique_ptr<Recordset> m_inner;
    TableSource &m_source;
    bool m_closed = false;
};

// The SQLite side: one virtual table per Access table, declared with the
// Access column names and types.
struct JetVtab : sqlite3_vtab
{
    TableSource *source = nullptr;
    std::size_t table = 0;
};

struct JetCursor : sqlite3_vtab_cursor
{
    explicit JetCursor(TableSource &source, std::size_t table) : scan(source, table) {}
    TableScan scan;
};

QString quoted(const QString &name)
{
    return u'"' + QString(name).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

// The affinity SQLite gives each Access type, so that comparisons and sorting
// behave as on an SQLite table with the same data.
QString declaredType(std::uint8_t type)
{
    namespace column = proto::column;
    switch (type) {
    case column::boolean:
    case column::byte:
    case column::integer:
    case column::longInteger:
    case column::bigInteger:
        return QStringLiteral("INTEGER");
    case column::single:
    case column::dbl:
        return QStringLiteral("REAL");
    case column::currency:
    case column::numeric:
        return QStringLiteral("NUMERIC");
    case column::dateTime:
        return QStringLiteral("DATETIME");
    case column::text:
    case column::memo:
    case column::guid:
        return QStringLiteral("TEXT");
    case column::binary:
    case column::ole:
        return QStringLiteral("BLOB");
    default:
        return {};
    }
}

int setError(sqlite3_vtab *vtab, const QString &message)
{
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("%s", message.toUtf8().constData());
    return SQLITE_ERROR;
}

// Exceptions must not cross SQLite's C frames.
template<typename Body>
int guarded(sqlite3_vtab *vtab, Body body)
{
    try {
        body();
        return SQLITE_OK;
    } catch (const DatabaseError &error) {
        return setError(vtab, error.description());
    } catch (const std::bad_alloc &) {
        return SQLITE_NOMEM;
    } catch (const std::exception &error) {
        return setError(vtab, QString::fromUtf8(error.what()));
    }
}

int jetConnect(sqlite3 *db, void *aux, int argc, const char *const *argv, sqlite3_vtab **result, char **error)
{
    auto *source = static_cast<TableSource *>(aux);
    bool ok = false;
    const std::size_t table = argc > 3 ? QByteArray(argv[3]).toULongLong(&ok) : 0;
    if (!ok || table >= source->tables.size()) {
        *error = sqlite3_mprintf("Unknown Access table.");
        return SQLITE_ERROR;
    }
    QStringList columns;
    for (const JetColumn &column : source->tables[table].columns)
        columns << (quoted(column.name) + u' ' + declaredType(column.type)).trimmed();
    const QByteArray schema = QStringLiteral("CREATE TABLE x(%1)").arg(columns.join(u", ")).toUtf8();
    const int rc = sqlite3_declare_vtab(db, schema.constData());
    if (rc != SQLITE_OK) {
        *error = sqlite3_mprintf("%s", sqlite3_errmsg(db));
        return rc;
    }
    auto *vtab = new (std::nothrow) JetVtab;
    if (!vtab)
        return SQLITE_NOMEM;
    vtab->source = source;
    vtab->table = table;
    *result = vtab;
    return SQLITE_OK;
}

int jetDisconnect(sqlite3_vtab *vtab)
{
    sqlite3_free(vtab->zErrMsg);
    delete static_cast<JetVtab *>(vtab);
    return SQLITE_OK;
}

// Every plan is a full scan; the columns the statement uses travel to xFilter.
int jetBestIndex(sqlite3_vtab *vtab, sqlite3_index_info *info)
{
    const auto *jet = static_cast<JetVtab *>(vtab);
    const qint64 rows = std::max<qint64>(jet->source->tables[jet->table].rowEstimate, 1);
    info->estimatedRows = rows;
    info->estimatedCost = double(rows);
    info->idxStr = sqlite3_mprintf("%llx", static_cast<unsigned long long>(info->colUsed));
    if (!info->idxStr)
        return SQLITE_NOMEM;
    info->needToFreeIdxStr = 1;
    return SQLITE_OK;
}

int jetOpen(sqlite3_vtab *vtab, sqlite3_vtab_cursor **result)
{
    auto *jet = static_cast<JetVtab *>(vtab);
    return guarded(vtab, [&] { *result = new JetCursor(*jet->source, jet->table); });
}

int jetClose(sqlite3_vtab_cursor *cursor)
{
    delete static_cast<JetCursor *>(cursor);
    return SQLITE_OK;
}

int jetFilter(sqlite3_vtab_cursor *cursor, int, const char *plan, int, sqlite3_value **)
{
    const proto::ColumnMask used = plan ? std::strtoull(plan, nullptr, 16) : proto::allColumns;
    return guarded(cursor->pVtab, [&] { static_cast<JetCursor *>(cursor)->scan.start(used); });
}

int jetNext(sqlite3_vtab_cursor *cursor)
{
    return guarded(cursor->pVtab, [&] { static_cast<JetCursor *>(cursor)->scan.next(); });
}

int jetEof(sqlite3_vtab_cursor *cursor)
{
    return static_cast<JetCursor *>(cursor)->scan.eof() ? 1 : 0;
}

int jetColumn(sqlite3_vtab_cursor *cursor, sqlite3_context *context, int index)
{
    return guarded(cursor->pVtab, [&] { static_cast<JetCursor *>(cursor)->scan.column(context, index); });
}

int jetRowid(sqlite3_vtab_cursor *cursor, sqlite3_int64 *rowid)
{
    *rowid = static_cast<JetCursor *>(cursor)->scan.rowid();
    return SQLITE_OK;
}

const sqlite3_module jetModule = {
    .iVersion = 0,
    .xCreate = jetConnect,
    .xConnect = jetConnect,
    .xBestIndex = jetBestIndex,
    .xDisconnect = jetDisconnect,
    .xDestroy = jetDisconnect,
    .xOpen = jetOpen,
    .xClose = jetClose,
    .xFilter = jetFilter,
    .xNext = jetNext,
    .xEof = jetEof,
    .xColumn = jetColumn,
    .xRowid = jetRowid,
    .xUpdate = nullptr,
    .xBegin = nullptr,
    .xSync = nullptr,
    .xCommit = nullptr,
    .xRollback = nullptr,
    .xFindFunction = nullptr,
    .xRename = nullptr,
    .xSavepoint = nullptr,
    .xRelease = nullptr,
    .xRollbackTo = nullptr,
    .xShadowName = nullptr,
};

// Statements typed by the user may read and call functions, nothing else: no
// ATTACH (which could create a file), no settings, no schema changes.
int authorize(void *, int action, const char *first, const char *, const char *, const char *)
{
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
        return SQLITE_OK;
    case SQLITE_PRAGMA:
        for (const char *allowed : {"table_info", "table_xinfo", "table_list"}) {
            if (first && sqlite3_stricmp(first, allowed) == 0)
                return SQLITE_OK;
        }
        return SQLITE_DENY;
    default:
        return SQLITE_DENY;
    }
}

struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
            && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

FileIdentity identityOf(const struct stat &info)
{
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

} // namespace

class JetDatabase::Private
{
public:
    explicit Private(const QString &path) : m_path(path)
    {
        openFile();
        const QString program = findReader();
        if (program.isEmpty()) {
            refuse(QStringLiteral("the program that reads Access files (%1) was not found next to this program.")
                       .arg(readerName));
        }
        m_source.readers.emplace(program, m_file.get());
        try {
            readCatalog();
        } catch (const DatabaseError &error) {
            QString why = error.description();
            if (!why.isEmpty())
                why[0] = why[0].toLower();
            refuse(why);
        }
        openConnection();
    }

    ~Private()
    {
        // The virtual tables refer to the source; the connection goes first.
        m_connection.reset();
    }

    std::unique_ptr<Recordset> openRecordset(const QString &sql)
    {
        noticeChanges();
        m_source.statementOpened();
        try {
            return std::make_unique<JetRecordset>(m_connection->openRecordset(AccessFunctions::adaptCalls(sql)),
                                                  m_source);
        } catch (...) {
            m_source.statementClosed();
            throw;
        }
    }

private:
    [[noreturn]] void refuse(const QString &why) const
    {
        throw DatabaseError(QStringLiteral("Could not open '%1': %2").arg(m_path, why));
    }

    // Opened once, read-only, and handed to every reader: all of them read the
    // very file that was checked here, whatever happens to its name later.
    void openFile()
    {
        const QByteArray name = QFile::encodeName(m_path);
        // Non-blocking, so that a FIFO put in the file's place cannot stall.
        m_file.reset(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!m_file.valid())
            refuse(systemError(errno));
        struct stat info {};
        if (::fstat(m_file.get(), &info) != 0 || !S_ISREG(info.st_mode))
            refuse(QStringLiteral("it is not a regular file."));
        char header[signatureOffset + sizeof jetSignature];
        if (::pread(m_file.get(), header, sizeof header, 0) != ssize_t(sizeof header)
            || !hasSignature(QByteArrayView(header, sizeof header)))
            refuse(QStringLiteral("it is not an Access database file."));
        m_identity = identityOf(info);
    }

    void readCatalog()
    {
        ReaderLease reader = m_source.readers->acquire();
        reader->send(jetreader::Request::Catalog);
        const Frame frame = reader->receive();
        if (frame.type == proto::Reply::Failure)
            throw DatabaseError(QString::fromUtf8(frame.payload));
        if (frame.type != proto::Reply::Catalog)
            reader->unexpected();
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
            m_source.tables.push_back(std::move(table));
        }
        if (!fields.ok() || !fields.atEnd())
            reader->unexpected();
        reader.giveBack();
    }

    void openConnection()
    {
        sqlite3 *raw = nullptr;
        const int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        SqliteHandle handle(raw);
        if (rc != SQLITE_OK)
            refuse(QString::fromUtf8(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
        m_connection.emplace(std::move(handle));
        sqlite3 *db = m_connection->handle();
        sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
        sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
        try {
            AccessFunctions::install(db);
            if (sqlite3_create_module_v2(db, "jet", &jetModule, &m_source, nullptr) != SQLITE_OK)
                m_connection->fail();
            for (std::size_t i = 0; i < m_source.tables.size(); ++i) {
                const QByteArray create = QStringLiteral("CREATE VIRTUAL TABLE %1 USING jet(%2)")
                                              .arg(quoted(m_source.tables[i].name))
                                              .arg(i)
                                              .toUtf8();
                try {
                    m_connection->run(create.constData());
                } catch (const DatabaseError &error) {
                    throw DatabaseError(QStringLiteral("the table '%1' cannot be offered: %2")
                                            .arg(m_source.tables[i].name, error.description()));
                }
            }
        } catch (const DatabaseError &error) {
            refuse(error.description());
        }
        sqlite3_set_authorizer(db, authorize, nullptr);
    }

    // Rows kept from before the file changed would be stale.
    void noticeChanges()
    {
        struct stat info {};
        if (::fstat(m_file.get(), &info) != 0 || identityOf(info) == m_identity)
            return;
        m_identity = identityOf(info);
        m_source.cache.clear();
        m_source.dropParked();
        m_source.readers->dropIdle();
    }

    QString m_path;
    UniqueFd m_file;
    FileIdentity m_identity;
    TableSource m_source;
    std::optional<SqliteConnection> m_connection;
};

bool JetDatabase::hasSignature(QByteArrayView header)
{
    if (header.size() < signatureOffset + qsizetype(sizeof jetSignature))
        return false;
    const QByteArrayView found = header.sliced(signatureOffset, sizeof jetSignature);
    return found == QByteArrayView(jetSignature, sizeof jetSignature)
        || found == QByteArrayView(aceSignature, sizeof aceSignature);
}

JetDatabase::JetDatabase(const QString &path) : d(std::make_unique<Private>(path)) {}

JetDatabase::~JetDatabase() = default;

std::unique_ptr<Recordset> JetDatabase::openRecordset(const QString &sql)
{
    return d->openRecordset(sql);
}

void JetDatabase::execute(const QString &)
{
    throw DatabaseError(QStringLiteral("The database is read-only: Access files are only read by this program, "
                                       "so action statements cannot be executed on them."));
}

} // namespace morvane

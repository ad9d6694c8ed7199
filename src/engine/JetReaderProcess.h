#pragma once

#include "Failure.h"
#include "jetreader/JetReaderProtocol.h"
#include "jetreader/SecretBytes.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

namespace morvane::jet {

namespace proto = jetreader;

// Readers kept waiting for the next request, and readers alive at once (one
// per table being streamed). SQLite joins at most 64 tables in one select, so
// a statement naming a table many times is not refused for want of readers.
inline constexpr std::size_t idleReaders = 2;
inline constexpr int maxReaders = 64;

inline const QString readerName = QStringLiteral("morvane-jet-reader");

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

QString systemError(int error);

// Lets another thread cut short every wait for a reader: a Cancel must not
// wait for the reader's next bytes. Raised until cleared.
class Interruption
{
public:
    Interruption();
    void raise();
    void clear();
    // Becomes readable while raised.
    [[nodiscard]] int fd() const { return m_fd.get(); }

private:
    UniqueFd m_fd;
};

// The reader lives in the program's private folder, found from the running
// program's own folder (bin/../libexec/morvane, installed or built).
QString findReader();

struct Frame
{
    proto::Reply type;
    QByteArray payload;
};

// The reader went away (crashed, or was killed by someone) rather than fell
// silent or said something wrong.
class ReaderEnded : public Failure
{
public:
    using Failure::Failure;
};

// A request failed and the reader said why; it waits for the next request.
class ReaderReported : public Failure
{
public:
    using Failure::Failure;
};

// One running reader and its end of the conversation. Every wait for it is
// bounded: a reader that sends nothing for its silence limit is killed and
// the wait fails with Failure. Destroying it kills the process; it holds
// nothing that needs an orderly end.
class ReaderProcess
{
public:
    // Waits end early, killing the reader, when `interruption` is raised.
    ReaderProcess(const QString &program, int databaseFd, int silenceLimitMs, const Interruption &interruption);

    ~ReaderProcess() { stop(); }

    ReaderProcess(const ReaderProcess &) = delete;
    ReaderProcess &operator=(const ReaderProcess &) = delete;

    // The frame is wiped once sent: a request may carry a key.
    void send(proto::Request type, std::string_view payload = {});

    // The next frame other than Alive.
    Frame receive();

    // Waits for the first bytes of an answer without taking them: a reader
    // that died while it waited only shows it here (ReaderEnded).
    void awaitAnswer();

    // An idle reader sends nothing; anything to read means it has gone.
    [[nodiscard]] bool waiting() const;

    // Kills the reader and raises `why`.
    [[noreturn]] void fail(const QString &why);

    // A reply other than the one the conversation expects.
    [[noreturn]] void unexpected() { fail(garbled()); }

    [[noreturn]] void failEnded();

private:
    static QString cannotStart(const QString &why);
    static QString garbled();
    QString ended();
    QString silent() const;

    [[nodiscard]] qsizetype buffered() const { return m_buffer.size() - m_begin; }

    static constexpr qsizetype largeRead = 1024 * 1024;

    void fillBuffer();

    // Waits at most the silence limit for some bytes.
    qsizetype receiveSome(char *to, qsizetype size);

    void stop();

    int m_silenceLimitMs;
    const Interruption &m_interruption;
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
    ReaderProcess &operator*() const { return *m_reader; }
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
    // `unlock`, when not empty, is the key to an encrypted file's pages;
    // every reader is handed it first.
    ReaderPool(QString program, int databaseFd, int silenceLimitMs, jetreader::SecretBytes unlock = {})
        : m_program(std::move(program))
        , m_databaseFd(databaseFd)
        , m_silenceLimitMs(silenceLimitMs)
        , m_unlock(std::move(unlock))
    {
    }

    // Any thread: ends the waits of the statement now running.
    void interrupt() { m_interruption.raise(); }
    // A new statement starts: earlier interrupts are spent.
    void statementStarts() { m_interruption.clear(); }

    ReaderLease acquire();

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
    int m_silenceLimitMs;
    jetreader::SecretBytes m_unlock;
    Interruption m_interruption;
    std::vector<std::unique_ptr<ReaderProcess>> m_idle;
    int m_lent = 0;
};

} // namespace morvane::jet

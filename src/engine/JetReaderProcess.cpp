#include "JetReaderProcess.h"

#include "JetReaderClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace morvane::jet {

namespace {

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

} // namespace

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString findReader()
{
    QString folder;
    if (QCoreApplication::instance())
        folder = QCoreApplication::applicationDirPath();
    else
        folder = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
    // The same relative place in an installed copy and in a build tree, so
    // the program carries no absolute path and can be moved as a whole.
    const QFileInfo reader(QDir(folder).filePath(QStringLiteral(MORVANE_JET_READER_FOLDER "/") + readerName));
    if (reader.isFile() && reader.isExecutable())
        return reader.absoluteFilePath();
    return {};
}

Interruption::Interruption() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!m_fd.valid())
        throw Failure(systemError(errno));
}

void Interruption::raise()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_fd.get(), &one, sizeof one);
}

void Interruption::clear()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_fd.get(), &count, sizeof count);
}

ReaderProcess::ReaderProcess(const QString &program, int databaseFd, int silenceLimitMs,
                             const Interruption &interruption)
    : m_silenceLimitMs(silenceLimitMs), m_interruption(interruption)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw Failure(cannotStart(systemError(errno)));
    // A socket rather than a pipe: a reader that has died cannot raise
    // SIGPIPE here, since sends use MSG_NOSIGNAL.
    m_socket.reset(ends[0]);
    UniqueFd theirs(ends[1]);
    // Out of the way of the descriptors the child's dup2 calls fill.
    const UniqueFd childSocket(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, 10));
    const UniqueFd childDatabase(::fcntl(databaseFd, F_DUPFD_CLOEXEC, 10));
    if (!childSocket.valid() || !childDatabase.valid())
        throw Failure(cannotStart(systemError(errno)));

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
    const int rc = ::posix_spawn(&m_pid, path.constData(), &actions.value, &attributes.value, arguments, environment);
    if (rc != 0) {
        m_pid = -1;
        throw Failure(cannotStart(systemError(rc)));
    }
}

void ReaderProcess::send(proto::Request type, std::string_view payload)
{
    if (!m_socket.valid())
        throw ReaderEnded(ended());
    jetreader::SecretBytes frame(proto::frameHeaderSize + payload.size());
    frame.data()[0] = std::uint8_t(type);
    const auto size = std::uint32_t(payload.size());
    for (int i = 0; i < 4; ++i)
        frame.data()[1 + i] = std::uint8_t(size >> (8 * i));
    std::copy(payload.begin(), payload.end(), frame.data() + proto::frameHeaderSize);
    const auto *data = frame.data();
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

Frame ReaderProcess::receive()
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

void ReaderProcess::awaitAnswer()
{
    if (!m_socket.valid())
        throw ReaderEnded(ended());
    while (buffered() == 0)
        fillBuffer();
}

bool ReaderProcess::waiting() const
{
    if (!m_socket.valid() || m_pid <= 0)
        return false;
    pollfd check{m_socket.get(), POLLIN, 0};
    return ::poll(&check, 1, 0) == 0;
}

void ReaderProcess::fail(const QString &why)
{
    stop();
    throw Failure(why);
}

void ReaderProcess::failEnded()
{
    const QString why = ended();
    throw ReaderEnded(why);
}

QString ReaderProcess::cannotStart(const QString &why)
{
    return QStringLiteral("The program that reads Access files (%1) could not be started: %2").arg(readerName, why);
}

QString ReaderProcess::garbled()
{
    return QStringLiteral("Reading the Access file failed: the reader's answer was garbled.");
}

QString ReaderProcess::ended()
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

QString ReaderProcess::silent() const
{
    return QStringLiteral("Reading the Access file was stopped after %1 seconds without progress. "
                          "The file is probably damaged.")
        .arg(m_silenceLimitMs / 1000.0);
}

void ReaderProcess::fillBuffer()
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

qsizetype ReaderProcess::receiveSome(char *to, qsizetype size)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_silenceLimitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd wait[2] = {{m_socket.get(), POLLIN, 0}, {m_interruption.fd(), POLLIN, 0}};
        const int ready = left.count() > 0 ? ::poll(wait, 2, int(left.count()) + 1) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            fail(silent());
        if (ready < 0)
            failEnded();
        // Cut short in the middle of an answer: the reader cannot serve
        // anyone after this, so it goes.
        if (wait[1].revents & POLLIN)
            fail(QStringLiteral("interrupted"));
        const ssize_t got = ::recv(m_socket.get(), to, std::size_t(size), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            failEnded();
        return qsizetype(got);
    }
}

void ReaderProcess::stop()
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

ReaderLease ReaderPool::acquire()
{
    while (!m_idle.empty()) {
        std::unique_ptr<ReaderProcess> reader = std::move(m_idle.back());
        m_idle.pop_back();
        if (reader->waiting())
            return ReaderLease(*this, std::move(reader), true);
    }
    if (m_lent >= maxReaders)
        throw Failure(QStringLiteral("The statement reads too many Access tables at once."));
    auto reader = std::make_unique<ReaderProcess>(m_program, m_databaseFd, m_silenceLimitMs, m_interruption);
    if (!m_unlock.empty())
        reader->send(proto::Request::Unlock, m_unlock.view());
    JetReaderClient::greet(*reader);
    return ReaderLease(*this, std::move(reader), false);
}

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

} // namespace morvane::jet

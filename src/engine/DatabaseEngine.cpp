#include "DatabaseEngine.h"

#include "Failure.h"
#include "JetDatabase.h"
#include "PostgresBackend.h"
#include "PostgresClientLibrary.h"
#include "PostgresConnectionString.h"
#include "SqliteDatabase.h"

#include <QFile>
#include <QScopeGuard>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane {

namespace {

constexpr qsizetype headerSize = 64;

[[noreturn]] void refuse(const QString &path, const QString &why)
{
    throw Failure(QStringLiteral("Could not open '%1': %2").arg(path, why));
}

QString systemError(int code)
{
    QString text = QString::fromLocal8Bit(std::strerror(code));
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text + u'.';
}

// Reads the first bytes of a regular file. A FIFO or device would block or
// stream forever, so the path is opened without waiting and what was opened,
// not what the name pointed to a moment before, must be a regular file.
QByteArray readHeader(const QString &path)
{
    if (path.isEmpty())
        refuse(path, QStringLiteral("no file name was given."));
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        refuse(path, error == ENOENT ? QStringLiteral("the file does not exist.") : systemError(error));
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        refuse(path, QStringLiteral("it is not a regular file."));
    QByteArray header(headerSize, Qt::Uninitialized);
    const ssize_t got = ::pread(fd, header.data(), std::size_t(headerSize), 0);
    if (got < 0)
        refuse(path, systemError(errno));
    header.truncate(got);
    return header;
}

// Office encrypts a database with a password by wrapping it in a compound
// file whose directory holds an "EncryptedPackage" stream. Such a file is not
// damaged, and the user should hear what it is.
bool isEncryptedOfficeFile(const QString &path, const QByteArray &header)
{
    static const QByteArray compoundSignature = QByteArray::fromHex("d0cf11e0a1b11ae1");
    if (!header.startsWith(compoundSignature) || header.size() < 0x34)
        return false;
    const auto u32 = [&](qsizetype at) {
        return quint32(quint8(header[at])) | quint32(quint8(header[at + 1])) << 8
            | quint32(quint8(header[at + 2])) << 16 | quint32(quint8(header[at + 3])) << 24;
    };
    const int sectorShift = quint8(header[0x1e]);
    const quint32 directorySector = u32(0x30);
    if ((sectorShift != 9 && sectorShift != 12) || directorySector >= 0xfffffffa)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek((qint64(directorySector) + 1) << sectorShift))
        return false;
    const QByteArray directory = file.read(qint64(1) << sectorShift);
    const QString name = QStringLiteral("EncryptedPackage");
    const QByteArray utf16(reinterpret_cast<const char *>(name.utf16()), name.size() * 2);
    return directory.contains(utf16);
}

} // namespace

std::unique_ptr<Database> DatabaseEngine::openDatabase(const QString &path, const EngineTimeouts &timeouts,
                                                       const PasswordPrompt &askPassword,
                                                       const std::atomic_bool *cancelled)
{
    return openDatabase(path, timeouts, PostgresClientLibrary::installed(), askPassword, cancelled);
}

std::unique_ptr<Database> DatabaseEngine::openDatabase(const QString &path, const EngineTimeouts &timeouts,
                                                       PostgresClientLibrary &postgres,
                                                       const PasswordPrompt &askPassword,
                                                       const std::atomic_bool *cancelled)
{
    // The messages quote the path, and libpq quotes what it cannot parse:
    // a password typed into the path, read as options or not, is cut out.
    try {
        return openBackend(path, timeouts, postgres, askPassword, cancelled);
    } catch (const Failure &failure) {
        throw Failure(PostgresConnectionString::withoutSecrets(failure.description(), path));
    }
}

std::unique_ptr<Database> DatabaseEngine::openBackend(const QString &path, const EngineTimeouts &timeouts,
                                                      PostgresClientLibrary &postgres,
                                                      const PasswordPrompt &askPassword,
                                                      const std::atomic_bool *cancelled)
{
    if (PostgresConnectionString::isConnectionString(path, postgres))
        return postgres.backend().connect(path, timeouts, cancelled);
    const QByteArray header = readHeader(path);
    if (SqliteDatabase::hasSignature(header))
        return std::make_unique<SqliteDatabase>(path, timeouts.busyMs);
    if (JetDatabase::hasSignature(header))
        return std::make_unique<JetDatabase>(path, timeouts.readerSilenceMs, askPassword);
    if (isEncryptedOfficeFile(path, header)) {
        refuse(path, QStringLiteral("it is encrypted with a password (Office encryption), which this program "
                                    "cannot read. Save an unencrypted copy in Access and open that."));
    }
    refuse(path, QStringLiteral("it is not a database file this program can read."));
}

QString DatabaseEngine::pathToRemember(const QString &path)
{
    return PostgresConnectionString::withoutPassword(path, PostgresClientLibrary::installed());
}

} // namespace morvane

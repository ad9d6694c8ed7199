#include "JetFile.h"

#include "EncryptionHeader.h"
#include "JetDatabase.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace morvane::jet {

namespace {

// Enough for the signature at offset 4, and for the header of a file
// encrypted with a password.
constexpr qsizetype firstPageBytes = 4096;

} // namespace

bool JetFile::Identity::operator==(const Identity &other) const
{
    return device == other.device && inode == other.inode && size == other.size
        && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
        && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

JetFile::Identity JetFile::identityOf(const struct stat &info)
{
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

JetFile::JetFile(QString path, int readerSilenceLimitMs, const PasswordPrompt &askPassword) : m_path(std::move(path))
{
    const QByteArray firstPage = openFile();
    jetreader::SecretBytes unlock = unlockPages(firstPage, askPassword);
    const QString program = findReader();
    if (program.isEmpty()) {
        throw Failure(QStringLiteral("the program that reads Access files (%1) was not found in %2 beside this "
                                     "program's folder.")
                          .arg(readerName, QStringLiteral(MORVANE_JET_READER_FOLDER)));
    }
    m_source.readers.emplace(program, m_fd.get(), readerSilenceLimitMs, std::move(unlock));
    try {
        ReaderLease reader = m_source.readers->acquire();
        m_source.tables = JetReaderClient::catalog(*reader);
        reader.giveBack();
    } catch (const Failure &error) {
        QString why = error.description();
        if (!why.isEmpty())
            why[0] = why[0].toLower();
        throw Failure(why);
    }
}

QByteArray JetFile::openFile()
{
    const QByteArray name = QFile::encodeName(m_path);
    // Non-blocking, so that a FIFO put in the file's place cannot stall.
    m_fd.reset(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!m_fd.valid())
        throw Failure(systemError(errno));
    struct stat info {};
    if (::fstat(m_fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw Failure(QStringLiteral("it is not a regular file."));
    QByteArray page(firstPageBytes, Qt::Uninitialized);
    const ssize_t got = ::pread(m_fd.get(), page.data(), std::size_t(page.size()), 0);
    page.truncate(std::max<qsizetype>(got, 0));
    if (!JetDatabase::hasSignature(page))
        throw Failure(QStringLiteral("it is not an Access database file."));
    m_identity = identityOf(info);
    return page;
}

// The key to the pages of a file saved with "Encrypt with Password", made
// from the password the user gives; empty for any other file.
jetreader::SecretBytes JetFile::unlockPages(const QByteArray &firstPage, const PasswordPrompt &askPassword) const
{
    const std::optional<EncryptionHeader> header = EncryptionHeader::read(firstPage);
    if (!header)
        return {};
    std::optional<QString> password = askPassword ? askPassword(QFileInfo(m_path).fileName()) : std::nullopt;
    if (!password)
        throw Failure(QStringLiteral("a password is needed."));
    // The only copy left, once the dialog has let go of its own; wiped
    // whatever becomes of the key.
    const auto wipePassword = qScopeGuard([&password] {
        if (!password->isEmpty())
            OPENSSL_cleanse(password->data(), std::size_t(password->size()) * sizeof(QChar));
    });
    std::optional<jetreader::SecretBytes> key = header->unlock(*password);
    if (!key)
        throw Failure(QStringLiteral("wrong password."));
    return std::move(*key);
}

void JetFile::noticeChanges()
{
    struct stat info {};
    if (::fstat(m_fd.get(), &info) != 0 || identityOf(info) == m_identity)
        return;
    m_identity = identityOf(info);
    m_source.cache.clear();
    m_source.dropParked();
    m_source.readers->dropIdle();
}

std::optional<std::size_t> JetFile::table(const QString &name) const
{
    for (std::size_t i = 0; i < m_source.tables.size(); ++i) {
        if (m_source.tables[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return std::nullopt;
}

} // namespace morvane::jet

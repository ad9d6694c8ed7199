#include "DatabaseEngine.h"

#include "Failure.h"
#include "JetDatabase.h"
#include "PostgresDatabase.h"
#include "SqliteDatabase.h"

#include <QFile>
#include <QFileInfo>

namespace morvane {

namespace {

constexpr qsizetype headerSize = 64;

[[noreturn]] void refuse(const QString &path, const QString &why)
{
    throw Failure(QStringLiteral("Could not open '%1': %2").arg(path, why));
}

// Reads the first bytes of a regular file. A FIFO or device would block or
// stream forever, so anything but a regular file is refused before it is opened.
QByteArray readHeader(const QString &path)
{
    if (path.isEmpty())
        refuse(path, QStringLiteral("no file name was given."));
    const QFileInfo info(path);
    if (!info.exists())
        refuse(path, QStringLiteral("the file does not exist."));
    if (!info.isFile())
        refuse(path, QStringLiteral("it is not a regular file."));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        refuse(path, file.errorString());
    return file.read(headerSize);
}

} // namespace

std::unique_ptr<Database> DatabaseEngine::openDatabase(const QString &path, const EngineTimeouts &timeouts)
{
    if (PostgresDatabase::isConnectionString(path))
        return std::make_unique<PostgresDatabase>(path, timeouts.connectSeconds);
    const QByteArray header = readHeader(path);
    if (SqliteDatabase::hasSignature(header))
        return std::make_unique<SqliteDatabase>(path, timeouts.busyMs);
    if (JetDatabase::hasSignature(header))
        return std::make_unique<JetDatabase>(path, timeouts.readerSilenceMs);
    refuse(path, QStringLiteral("it is not a database file this program can read."));
}

QString DatabaseEngine::pathToRemember(const QString &path)
{
    return PostgresDatabase::withoutPassword(path);
}

} // namespace morvane

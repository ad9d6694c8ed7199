#include "PostgresClientLibrary.h"

#include "Failure.h"
#include "PostgresBackend.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace morvane {

namespace {

QString programFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
}

[[noreturn]] void cannotLoad(const QString &why)
{
    throw Failure(QStringLiteral("The PostgreSQL client library could not be loaded: %1").arg(why));
}

} // namespace

PostgresClientLibrary::PostgresClientLibrary(const QString &folder)
    : m_library(QDir(folder).filePath(moduleFileName()))
{
}

PostgresClientLibrary &PostgresClientLibrary::installed()
{
    static PostgresClientLibrary library(QDir(programFolder()).filePath(QStringLiteral(MORVANE_POSTGRES_MODULE_FOLDER)));
    return library;
}

QString PostgresClientLibrary::moduleFileName()
{
    return QStringLiteral("morvane-postgres.so");
}

const PostgresBackend &PostgresClientLibrary::backend()
{
    const std::lock_guard lock(m_loading);
    if (m_backend)
        return *m_backend;
    if (!m_library.load())
        cannotLoad(m_library.errorString());
    using Entry = const PostgresBackend *(*)();
    const auto entry = reinterpret_cast<Entry>(m_library.resolve("morvane_postgres_backend"));
    if (!entry)
        cannotLoad(m_library.errorString());
    const PostgresBackend *backend = entry();
    if (!backend || backend->version != PostgresBackend::currentVersion)
        cannotLoad(QStringLiteral("%1 belongs to another version of this program.").arg(m_library.fileName()));
    m_backend = backend;
    return *m_backend;
}

} // namespace morvane

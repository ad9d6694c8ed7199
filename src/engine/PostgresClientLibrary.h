#pragma once

#include <QLibrary>
#include <QString>

#include <mutex>

namespace morvane {

struct PostgresBackend;

// The PostgreSQL backend lives in a module of its own, the only part of the
// program linked to libpq, which brings some twenty more libraries (Kerberos,
// LDAP, TLS) with it. Loading them at every start would cost most users, who
// open only files, about a quarter of the start-up time; so the module is
// loaded the first time a connection string is opened.
//
// Once loaded, the module stays for the life of the process: the databases it
// made may outlive this object, so it is never unloaded. Safe to use from any
// thread.
class PostgresClientLibrary
{
public:
    // The module in `folder`.
    explicit PostgresClientLibrary(const QString &folder);

    // The module the program was installed with, found from the program's
    // own folder by the same relative path in a build tree and an installed
    // copy.
    [[nodiscard]] static PostgresClientLibrary &installed();

    // Loads the module if it is not yet loaded; Failure saying why when it
    // cannot be. A failed load is tried again on the next call.
    [[nodiscard]] const PostgresBackend &backend();

    [[nodiscard]] static QString moduleFileName();

private:
    std::mutex m_loading;
    QLibrary m_library;
    const PostgresBackend *m_backend = nullptr;
};

} // namespace morvane

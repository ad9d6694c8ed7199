#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <libpq-fe.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <memory>

namespace morvane::test {

// A throwaway PostgreSQL cluster for one test program (or benchmark): made
// with initdb in a temporary folder, listening only on a Unix socket in that
// folder, stopped and removed by the destructor, also when a test fails.
//
// The server refuses to run as root, and CI runs the tests as root: then
// initdb and the server run as the "postgres" account that Debian's package
// creates (or "nobody" without it) through setpriv, in a folder handed to
// that account. setpriv also gives the server a parent-death signal, so a
// test program that crashes takes its server with it.
//
// initdb is most of the cost of a start; given a template folder (in the
// build folder), the first start keeps a copy of the fresh cluster there and
// later ones copy it, under a lock file for test programs run side by side.
//
// Two roles: "morvane", the superuser, trusted without a password, and
// "secret" (password "Secret-pw-4711"), which must give its password.
class PostgresServer
{
public:
    static constexpr const char *secretUser = "secret";
    static constexpr const char *secretPassword = "Secret-pw-4711";

    // The folder that holds initdb and postgres, or empty when this machine
    // has no server: MORVANE_PG_BIN, else the newest of Debian's versioned
    // folders, else the PATH.
    static QString binaryFolder()
    {
        const QString chosen = qEnvironmentVariable("MORVANE_PG_BIN");
        if (!chosen.isEmpty())
            return QFile::exists(chosen + QStringLiteral("/initdb")) ? chosen : QString();
        QDir debian(QStringLiteral("/usr/lib/postgresql"));
        QStringList versions = debian.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(versions.begin(), versions.end(),
                  [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
        for (const QString &version : versions) {
            const QString bin = debian.filePath(version + QStringLiteral("/bin"));
            if (QFile::exists(bin + QStringLiteral("/initdb")) && QFile::exists(bin + QStringLiteral("/postgres")))
                return bin;
        }
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("initdb"));
        return onPath.isEmpty() ? QString() : QFileInfo(onPath).absolutePath();
    }

    explicit PostgresServer(QString templateFolder = {}) : m_template(std::move(templateFolder)) {}
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    ~PostgresServer() { stop(); }

    // Makes the cluster and starts the server; false with the reason in
    // error() when that fails.
    bool start()
    {
        m_bin = binaryFolder();
        if (m_bin.isEmpty())
            return failed(QStringLiteral("no PostgreSQL server binaries (initdb, postgres) were found"));
        if (!m_folder.isValid() || !handFolderToServerAccount())
            return failed(QStringLiteral("cannot prepare the temporary folder"));
        if (!makeCluster() || !writeAccessRules() || !launch() || !waitUntilReady() || !createRoles())
            return false;
        return true;
    }

    void stop()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        // Fast shutdown: open sessions are ended rather than waited for.
        ::kill(pid_t(m_server.processId()), SIGINT);
        if (!m_server.waitForFinished(10000)) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }

    // A fast shutdown and a start on the same cluster: every session ends.
    bool restart()
    {
        stop();
        return launch() && waitUntilReady();
    }

    [[nodiscard]] QString error() const { return m_error; }
    [[nodiscard]] QString socketFolder() const { return m_folder.path(); }
    [[nodiscard]] static int port() { return 5432; }
    [[nodiscard]] QString socketPath() const { return socketFolder() + QStringLiteral("/.s.PGSQL.5432"); }

    // A key/value connection string for `user` to the "postgres" database.
    [[nodiscard]] QString connection(const QString &user = QStringLiteral("morvane")) const
    {
        return QStringLiteral("host=%1 port=%2 dbname=postgres user=%3").arg(socketFolder(), QString::number(port()), user);
    }

    // The same as a URI, with a password in its user-info when one is given.
    [[nodiscard]] QString uri(const QString &user, const QString &password = {}) const
    {
        const QString host = QString::fromUtf8(QUrl::toPercentEncoding(socketFolder()));
        const QString credentials = password.isEmpty() ? user : user + u':' + password;
        return QStringLiteral("postgresql://%1@/postgres?host=%2&port=%3").arg(credentials, host, QString::number(port()));
    }

    // Runs `sql` as the superuser on a connection of its own, straight
    // through libpq; the first row's first value, or empty. Failures warn.
    QString query(const QString &sql) const
    {
        const std::unique_ptr<PGconn, decltype(&PQfinish)> connection(
            PQconnectdb(this->connection().toUtf8().constData()), &PQfinish);
        if (PQstatus(connection.get()) != CONNECTION_OK) {
            qWarning("PostgresServer: %s", PQerrorMessage(connection.get()));
            return {};
        }
        const std::unique_ptr<PGresult, decltype(&PQclear)> result(
            PQexec(connection.get(), sql.toUtf8().constData()), &PQclear);
        const ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            qWarning("PostgresServer: %s", PQresultErrorMessage(result.get()));
            return {};
        }
        if (PQntuples(result.get()) == 0)
            return {};
        return QString::fromUtf8(PQgetvalue(result.get(), 0, 0));
    }

    // What the server wrote to its log, for a failure's message.
    [[nodiscard]] QString log() const
    {
        QFile file(m_folder.filePath(QStringLiteral("server.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().right(4000)) : QString();
    }

private:
    bool failed(const QString &why)
    {
        m_error = why;
        return false;
    }

    [[nodiscard]] QString dataFolder() const { return m_folder.filePath(QStringLiteral("data")); }

    bool handFolderToServerAccount()
    {
        if (::geteuid() != 0)
            return true;
        const passwd *account = ::getpwnam("postgres");
        if (!account)
            account = ::getpwnam("nobody");
        if (!account)
            return false;
        m_account = QString::fromLocal8Bit(account->pw_name);
        const QByteArray path = QFile::encodeName(m_folder.path());
        return ::chown(path.constData(), account->pw_uid, account->pw_gid) == 0;
    }

    // The program and arguments that run `tool` as the server's account,
    // dying with this process.
    [[nodiscard]] QStringList commandFor(const QString &tool, const QStringList &arguments) const
    {
        QStringList command{QStringLiteral("setpriv"), QStringLiteral("--pdeathsig"), QStringLiteral("SIGQUIT")};
        if (!m_account.isEmpty())
            command << QStringLiteral("--reuid=") + m_account << QStringLiteral("--regid=") + m_account
                    << QStringLiteral("--clear-groups");
        command << m_bin + u'/' + tool;
        return command + arguments;
    }

    bool makeCluster()
    {
        if (m_template.isEmpty())
            return initdb();
        QLockFile lock(m_template + QStringLiteral(".lock"));
        if (!lock.tryLock(180000))
            return initdb();
        // A template from other server binaries is made afresh.
        const QFileInfo initdbFile(m_bin + QStringLiteral("/initdb"));
        const QByteArray stamp = (QStringLiteral("wal1 ") + initdbFile.absoluteFilePath() + u' '
                                  + QString::number(initdbFile.lastModified().toSecsSinceEpoch())).toUtf8();
        QFile stampFile(m_template + QStringLiteral(".stamp"));
        const bool current = stampFile.open(QIODevice::ReadOnly) && stampFile.readAll() == stamp
            && QFile::exists(m_template + QStringLiteral("/PG_VERSION"));
        stampFile.close();
        if (current)
            return copyTree(m_template, dataFolder());
        QDir(m_template).removeRecursively();
        if (!initdb() || !copyTree(dataFolder(), m_template))
            return false;
        if (!stampFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || stampFile.write(stamp) != stamp.size())
            return failed(QStringLiteral("cannot write ") + stampFile.fileName());
        return true;
    }

    // cp -a keeps the owner (the server's account) and the folder's mode,
    // which the server checks.
    bool copyTree(const QString &from, const QString &to)
    {
        QProcess copy;
        copy.setProcessChannelMode(QProcess::MergedChannels);
        copy.start(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral("--"), from, to});
        if (!copy.waitForFinished(120000) || copy.exitStatus() != QProcess::NormalExit || copy.exitCode() != 0)
            return failed(QStringLiteral("cannot copy the cluster: ") + QString::fromLocal8Bit(copy.readAll()));
        return true;
    }

    bool initdb()
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList command = commandFor(
            QStringLiteral("initdb"),
            {QStringLiteral("-D"), dataFolder(), QStringLiteral("-U"), QStringLiteral("morvane"),
             QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
             QStringLiteral("--locale=C"), QStringLiteral("--no-sync"), QStringLiteral("--no-instructions"),
             // 1 MB write-ahead segments instead of 16: less to write and copy.
             QStringLiteral("--wal-segsize=1")});
        process.start(command.first(), command.mid(1));
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0)
            return failed(QStringLiteral("initdb failed: ") + QString::fromLocal8Bit(process.readAll()));
        return true;
    }

    // Only the socket, only this folder: the superuser is trusted, the
    // password role must give its password.
    bool writeAccessRules()
    {
        QFile rules(dataFolder() + QStringLiteral("/pg_hba.conf"));
        if (!rules.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return failed(QStringLiteral("cannot write pg_hba.conf"));
        rules.write("local all secret scram-sha-256\nlocal all all trust\n");
        return true;
    }

    bool launch()
    {
        m_server.setStandardOutputFile(QProcess::nullDevice());
        m_server.setStandardErrorFile(m_folder.filePath(QStringLiteral("server.log")), QIODevice::Append);
        const QStringList command = commandFor(
            QStringLiteral("postgres"),
            {QStringLiteral("-D"), dataFolder(), QStringLiteral("-k"), socketFolder(), QStringLiteral("-p"),
             QString::number(port()), QStringLiteral("-c"), QStringLiteral("listen_addresses="),
             QStringLiteral("-c"), QStringLiteral("fsync=off"), QStringLiteral("-c"),
             QStringLiteral("max_connections=30")});
        m_server.start(command.first(), command.mid(1));
        if (!m_server.waitForStarted(10000))
            return failed(QStringLiteral("the server did not start: ") + m_server.errorString());
        return true;
    }

    // The server answers pings once it accepts connections; until then the
    // wait for its exit is the pause, so a server that dies ends the wait.
    bool waitUntilReady()
    {
        const QByteArray ping = connection().toUtf8();
        QDeadlineTimer deadline(60000);
        while (PQping(ping.constData()) != PQPING_OK) {
            if (m_server.waitForFinished(20) || deadline.hasExpired())
                return failed(QStringLiteral("the server did not come up: ") + log());
        }
        return true;
    }

    bool createRoles()
    {
        query(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(secretUser, secretPassword));
        if (query(QStringLiteral("SELECT count(*) FROM pg_roles WHERE rolname = '%1'").arg(secretUser)) != u"1")
            return failed(QStringLiteral("cannot create the password role"));
        return true;
    }

    QString m_template;
    QTemporaryDir m_folder{QDir::tempPath() + QStringLiteral("/morvane-pg-XXXXXX")};
    QString m_bin;
    QString m_account;
    QProcess m_server;
    QString m_error;
};

} // namespace morvane::test

#include "JetDatabase.h"

#include "AccessFunctions.h"
#include "AccessSqlTranslator.h"
#include "AccessTextCollation.h"
#include "EncryptionHeader.h"
#include "Failure.h"
#include "JetReaderProcess.h"
#include "JetTableCache.h"
#include "JetTableScan.h"
#include "SqliteConnection.h"
#include "SqliteGuard.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>

#include <openssl/crypto.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane {

using namespace jet;

namespace {

constexpr char jetSignature[] = "Standard Jet DB"; // with its NUL: 16 bytes
constexpr char aceSignature[] = "Standard ACE DB";
constexpr qsizetype signatureOffset = 4;

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
    case column::extendedDate:
        return QStringLiteral("DATETIME");
    case column::text:
    case column::memo:
    case column::guid:
        // Access compares text without regard to case, in every statement.
        return QStringLiteral("TEXT COLLATE ") + QLatin1StringView(AccessTextCollation::name);
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
    } catch (const Failure &error) {
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
    // Owned by SQLite from here on, which frees it through jetDisconnect (xDisconnect).
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
    // Owned by SQLite from here on, which frees it through jetClose (xClose).
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
int authorize(void *, int action, const char *first, const char *second, const char *, const char *)
{
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_RECURSIVE:
        return SQLITE_OK;
    case SQLITE_FUNCTION:
        return SqliteGuard::isForbiddenFunction(second) ? SQLITE_DENY : SQLITE_OK;
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
    Private(const QString &path, int readerSilenceLimitMs, const PasswordPrompt &askPassword) : m_path(path)
    {
        openFile();
        jetreader::SecretBytes unlock = unlockPages(askPassword);
        const QString program = findReader();
        if (program.isEmpty()) {
            refuse(QStringLiteral("the program that reads Access files (%1) was not found in %2 beside this "
                                  "program's folder.")
                       .arg(readerName, QStringLiteral(MORVANE_JET_READER_FOLDER)));
        }
        m_source.readers.emplace(program, m_file.get(), readerSilenceLimitMs, std::move(unlock));
        try {
            readCatalog();
        } catch (const Failure &error) {
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
        m_source.readers->statementStarts();
        noticeChanges();
        m_source.statementOpened();
        try {
            return std::make_unique<JetRecordset>(m_connection->openRecordset(translated(sql)), m_source);
        } catch (...) {
            m_source.statementClosed();
            throw;
        }
    }

    qint64 countRows(const QString &select)
    {
        m_source.readers->statementStarts();
        noticeChanges();
        m_source.statementOpened();
        try {
            const qint64 count = m_connection->countRows(translated(select));
            m_source.statementClosed();
            return count;
        } catch (...) {
            m_source.statementClosed();
            throw;
        }
    }

    // SQLite stops between rows; the readers' waits end at once.
    void interrupt()
    {
        m_connection->interrupt();
        m_source.readers->interrupt();
    }

private:
    [[noreturn]] void refuse(const QString &why) const
    {
        throw Failure(QStringLiteral("Could not open '%1': %2").arg(m_path, why));
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

    // The key to the pages of a file saved with "Encrypt with Password",
    // made from the password the user gives; empty for any other file.
    jetreader::SecretBytes unlockPages(const PasswordPrompt &askPassword) const
    {
        constexpr qsizetype headerPage = 4096;
        QByteArray page(headerPage, Qt::Uninitialized);
        const ssize_t got = ::pread(m_file.get(), page.data(), std::size_t(page.size()), 0);
        page.truncate(std::max<qsizetype>(got, 0));
        std::optional<EncryptionHeader> header;
        try {
            header = EncryptionHeader::read(page);
        } catch (const Failure &error) {
            refuse(error.description());
        }
        if (!header)
            return {};
        std::optional<QString> password = askPassword ? askPassword(QFileInfo(m_path).fileName()) : std::nullopt;
        if (!password)
            refuse(QStringLiteral("a password is needed."));
        // The only copy left, once the dialog has let go of its own; wiped
        // whatever becomes of the key.
        const auto wipePassword = qScopeGuard([&password] {
            if (!password->isEmpty())
                OPENSSL_cleanse(password->data(), std::size_t(password->size()) * sizeof(QChar));
        });
        std::optional<jetreader::SecretBytes> key = header->unlock(*password);
        if (!key)
            refuse(QStringLiteral("wrong password."));
        return std::move(*key);
    }

    void readCatalog()
    {
        ReaderLease reader = m_source.readers->acquire();
        m_source.tables = JetReaderClient::catalog(*reader);
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
        SqliteGuard::disableUnsafeFeatures(db);
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
                } catch (const Failure &error) {
                    throw Failure(QStringLiteral("the table '%1' cannot be offered: %2")
                                            .arg(m_source.tables[i].name, error.description()));
                }
            }
        } catch (const Failure &error) {
            refuse(error.description());
        }
        sqlite3_set_authorizer(db, authorize, nullptr);
    }

    // A typed select means what it means in Access. The pragmas that report
    // on a table are SQLite's own and pass as typed.
    QString translated(const QString &sql)
    {
        const QStringView statement = QStringView(sql).trimmed();
        if (statement.startsWith(u"pragma", Qt::CaseInsensitive)
            && (statement.size() == 6 || !statement[6].isLetterOrNumber())) {
            return sql;
        }
        AccessSqlContext context;
        context.runSelect = [this](const QString &helper) { return helperRows(helper); };
        const AccessSqlTranslation translation = AccessSqlTranslator::translate(sql, context);
        if (!translation.parameters.isEmpty()) {
            throw Failure(QStringLiteral("The statement asks for the parameter [%1], which has no value here.")
                              .arg(translation.parameters.front().name));
        }
        return translation.sql;
    }

    // The rows of a select the translator runs to write its SQL.
    AccessSqlRows helperRows(const QString &select)
    {
        AccessSqlRows result;
        const std::unique_ptr<Recordset> rows = m_connection->openRecordset(select);
        for (int i = 0; i < rows->fieldCount(); ++i)
            result.columns << rows->fieldName(i);
        for (; !rows->eof(); rows->moveNext()) {
            QList<FieldValue> row;
            for (int i = 0; i < rows->fieldCount(); ++i)
                row << rows->value(i);
            result.rows << row;
        }
        return result;
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

JetDatabase::JetDatabase(const QString &path, int readerSilenceLimitMs, const PasswordPrompt &askPassword)
    : d(std::make_unique<Private>(path, readerSilenceLimitMs, askPassword))
{
}

JetDatabase::~JetDatabase() = default;

std::unique_ptr<Recordset> JetDatabase::openRecordset(const QString &sql)
{
    return d->openRecordset(sql);
}

void JetDatabase::execute(const QString &)
{
    throw Failure(QStringLiteral("The database is read-only: Access files are only read by this program, "
                                       "so action statements cannot be executed on them."));
}

qint64 JetDatabase::countRows(const QString &select)
{
    return d->countRows(select);
}

void JetDatabase::interrupt()
{
    d->interrupt();
}

} // namespace morvane

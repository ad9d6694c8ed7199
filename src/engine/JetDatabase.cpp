#include "JetDatabase.h"

#include "AccessCatalog.h"
#include "AccessFunctions.h"
#include "AccessParameters.h"
#include "AccessSqlTranslator.h"
#include "AccessTextCollation.h"
#include "Failure.h"
#include "JetReaderProcess.h"
#include "JetTableCache.h"
#include "JetTableScan.h"
#include "SqliteConnection.h"
#include "SqliteGuard.h"
#include "SqlText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
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

// Counts the statements open on the connection, so the sources know when
// nothing can point into their rows any more.
class JetRecordset final : public Recordset
{
public:
    JetRecordset(std::unique_ptr<Recordset> inner, std::function<void()> closed)
        : m_inner(std::move(inner)), m_closed(std::move(closed))
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
        if (!m_closed)
            return;
        m_inner->close();
        std::exchange(m_closed, nullptr)();
    }

private:
    std::unique_ptr<Recordset> m_inner;
    std::function<void()> m_closed;
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

// A virtual table that is only read: SQLite's other entries stay empty.
sqlite3_module readOnlyModule(decltype(sqlite3_module::xConnect) connect, decltype(sqlite3_module::xBestIndex) bestIndex,
                              decltype(sqlite3_module::xDisconnect) disconnect, decltype(sqlite3_module::xOpen) open,
                              decltype(sqlite3_module::xClose) close, decltype(sqlite3_module::xFilter) filter,
                              decltype(sqlite3_module::xNext) next, decltype(sqlite3_module::xEof) eof,
                              decltype(sqlite3_module::xColumn) column, decltype(sqlite3_module::xRowid) rowid)
{
    sqlite3_module module{};
    module.xCreate = connect;
    module.xConnect = connect;
    module.xBestIndex = bestIndex;
    module.xDisconnect = disconnect;
    module.xDestroy = disconnect;
    module.xOpen = open;
    module.xClose = close;
    module.xFilter = filter;
    module.xNext = next;
    module.xEof = eof;
    module.xColumn = column;
    module.xRowid = rowid;
    return module;
}

const sqlite3_module jetModule = readOnlyModule(jetConnect, jetBestIndex, jetDisconnect, jetOpen, jetClose, jetFilter,
                                                jetNext, jetEof, jetColumn, jetRowid);

// A name that stands for something that cannot be read here: an action
// query, a link whose back end is missing. A statement that uses it fails
// with the reason as it is planned, before anything runs.
struct RefusedVtab : sqlite3_vtab
{
    QString reason;
};

int refusedConnect(sqlite3 *db, void *aux, int argc, const char *const *argv, sqlite3_vtab **result, char **error)
{
    const auto *reasons = static_cast<const std::vector<QString> *>(aux);
    bool ok = false;
    const std::size_t index = argc > 3 ? QByteArray(argv[3]).toULongLong(&ok) : 0;
    if (!ok || index >= reasons->size()) {
        *error = sqlite3_mprintf("Unknown Access object.");
        return SQLITE_ERROR;
    }
    const int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(refused)");
    if (rc != SQLITE_OK)
        return rc;
    // Owned by SQLite from here on, which frees it through refusedDisconnect.
    auto *vtab = new (std::nothrow) RefusedVtab;
    if (!vtab)
        return SQLITE_NOMEM;
    vtab->reason = (*reasons)[index];
    *result = vtab;
    return SQLITE_OK;
}

int refusedDisconnect(sqlite3_vtab *vtab)
{
    sqlite3_free(vtab->zErrMsg);
    delete static_cast<RefusedVtab *>(vtab);
    return SQLITE_OK;
}

int refusedBestIndex(sqlite3_vtab *vtab, sqlite3_index_info *)
{
    return setError(vtab, static_cast<RefusedVtab *>(vtab)->reason);
}

int refusedOpen(sqlite3_vtab *vtab, sqlite3_vtab_cursor **)
{
    return setError(vtab, static_cast<RefusedVtab *>(vtab)->reason);
}

int refusedClose(sqlite3_vtab_cursor *)
{
    return SQLITE_OK;
}

int refusedFilter(sqlite3_vtab_cursor *, int, const char *, int, sqlite3_value **)
{
    return SQLITE_OK;
}

int refusedEof(sqlite3_vtab_cursor *)
{
    return 1;
}

int refusedColumn(sqlite3_vtab_cursor *, sqlite3_context *, int)
{
    return SQLITE_OK;
}

int refusedRowid(sqlite3_vtab_cursor *, sqlite3_int64 *rowid)
{
    *rowid = 0;
    return SQLITE_OK;
}

const sqlite3_module refusedModule = readOnlyModule(refusedConnect, refusedBestIndex, refusedDisconnect, refusedOpen,
                                                    refusedClose, refusedFilter, refusedClose, refusedEof,
                                                    refusedColumn, refusedRowid);

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

// One Access file being read: the file opened, or a back end its links
// point to. Opened once, read-only, and handed to every reader: all of them
// read the very file that was checked here, whatever happens to its name
// later.
struct JetFile
{
    QString path;
    UniqueFd fd;
    FileIdentity identity;
    TableSource source;

    // Failure says why the file cannot be read, in words that follow "Could
    // not open 'path': ".
    JetFile(QString filePath, int readerSilenceLimitMs) : path(std::move(filePath))
    {
        openFile();
        const QString program = findReader();
        if (program.isEmpty()) {
            throw Failure(QStringLiteral("the program that reads Access files (%1) was not found in %2 beside this "
                                         "program's folder.")
                              .arg(readerName, QStringLiteral(MORVANE_JET_READER_FOLDER)));
        }
        source.readers.emplace(program, fd.get(), readerSilenceLimitMs);
        try {
            ReaderLease reader = source.readers->acquire();
            source.tables = JetReaderClient::catalog(*reader);
            reader.giveBack();
        } catch (const Failure &error) {
            QString why = error.description();
            if (!why.isEmpty())
                why[0] = why[0].toLower();
            throw Failure(why);
        }
    }

    void openFile()
    {
        const QByteArray name = QFile::encodeName(path);
        // Non-blocking, so that a FIFO put in the file's place cannot stall.
        fd.reset(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!fd.valid())
            throw Failure(systemError(errno));
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
            throw Failure(QStringLiteral("it is not a regular file."));
        char header[signatureOffset + sizeof jetSignature];
        if (::pread(fd.get(), header, sizeof header, 0) != ssize_t(sizeof header)
            || !JetDatabase::hasSignature(QByteArrayView(header, sizeof header)))
            throw Failure(QStringLiteral("it is not an Access database file."));
        identity = identityOf(info);
    }

    // Rows kept from before the file changed would be stale.
    void noticeChanges()
    {
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || identityOf(info) == identity)
            return;
        identity = identityOf(info);
        source.cache.clear();
        source.dropParked();
        source.readers->dropIdle();
    }

    [[nodiscard]] std::optional<std::size_t> table(const QString &name) const
    {
        for (std::size_t i = 0; i < source.tables.size(); ++i) {
            if (source.tables[i].name.compare(name, Qt::CaseInsensitive) == 0)
                return i;
        }
        return std::nullopt;
    }
};

class JetDatabase::Private
{
public:
    Private(const QString &path, int readerSilenceLimitMs) : m_silenceLimitMs(readerSilenceLimitMs)
    {
        try {
            m_main = std::make_unique<JetFile>(path, readerSilenceLimitMs);
        } catch (const Failure &error) {
            refuse(path, error.description());
        }
        openConnection();
    }

    ~Private()
    {
        // The virtual tables refer to the sources; the connection goes first.
        m_connection.reset();
    }

    std::unique_ptr<Recordset> openRecordset(const QString &sql)
    {
        statementStarts();
        try {
            return std::make_unique<JetRecordset>(m_connection->openRecordset(translated(sql)),
                                                  [this] { statementClosed(); });
        } catch (...) {
            statementClosed();
            throw;
        }
    }

    qint64 countRows(const QString &select)
    {
        statementStarts();
        const auto closed = qScopeGuard([this] { statementClosed(); });
        return m_connection->countRows(translated(select));
    }

    void setParameterPrompt(ParameterPrompt prompt) { m_parameters.setPrompt(std::move(prompt)); }

    // SQLite stops between rows; the readers' waits end at once.
    void interrupt()
    {
        m_connection->interrupt();
        for (JetFile *file : files())
            file->source.readers->interrupt();
    }

private:
    // A saved query as the list of queries shows it.
    struct ListedQuery
    {
        QString name;
        QString kind;
        QString accessSql;
        QString sqliteSql;
        QString refusal;
        // Record sources of forms and reports stay out of the list.
        bool listed = true;
        // Names no table provides, which Access asks for as parameters.
        QStringList unknownNames;
    };

    [[noreturn]] static void refuse(const QString &path, const QString &why)
    {
        throw Failure(QStringLiteral("Could not open '%1': %2").arg(path, why));
    }

    std::vector<JetFile *> files() const
    {
        std::vector<JetFile *> all{m_main.get()};
        for (const auto &backEnd : m_backEnds)
            all.push_back(backEnd.get());
        return all;
    }

    void statementStarts()
    {
        for (JetFile *file : files()) {
            file->source.readers->statementStarts();
            file->noticeChanges();
            file->source.statementOpened();
        }
    }

    void statementClosed()
    {
        for (JetFile *file : files())
            file->source.statementClosed();
    }

    void openConnection()
    {
        sqlite3 *raw = nullptr;
        const int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        SqliteHandle handle(raw);
        if (rc != SQLITE_OK)
            refuse(m_main->path, QString::fromUtf8(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
        m_connection.emplace(std::move(handle));
        sqlite3 *db = m_connection->handle();
        sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        // A quoted name that names nothing must fail, not turn into text:
        // a saved query's [Start date] is a parameter to ask for.
        sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
        sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
        SqliteGuard::disableUnsafeFeatures(db);
        sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
        try {
            AccessFunctions::install(db);
            m_parameters.install(db);
            if (sqlite3_create_module_v2(db, "jet", &jetModule, &m_main->source, nullptr) != SQLITE_OK
                || sqlite3_create_module_v2(db, "refused", &refusedModule, &m_refusals, nullptr) != SQLITE_OK)
                m_connection->fail();
            for (std::size_t i = 0; i < m_main->source.tables.size(); ++i)
                offerTable(m_main->source.tables[i].name, QStringLiteral("jet"), i);
            offerObjects();
        } catch (const Failure &error) {
            refuse(m_main->path, error.description());
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
        // A PARAMETERS clause asks for its values as a saved query does.
        return withParameterCalls(translation.sql, translation.parameters);
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

    void offerTable(const QString &name, const QString &module, std::size_t index)
    {
        const QByteArray create =
            QStringLiteral("CREATE VIRTUAL TABLE %1 USING %2(%3)").arg(quoted(name), module).arg(index).toUtf8();
        try {
            m_connection->run(create.constData());
        } catch (const Failure &error) {
            throw Failure(QStringLiteral("the table '%1' cannot be offered: %2").arg(name, error.description()));
        }
    }

    void offerRefusal(const QString &name, const QString &reason)
    {
        m_refusals.push_back(reason);
        offerTable(name, QStringLiteral("refused"), m_refusals.size() - 1);
    }

    // The file's links and saved queries, each under its own name.
    void offerObjects()
    {
        const bool hasObjects = m_main->table(QStringLiteral("MSysObjects")).has_value();
        if (!hasObjects)
            return;
        AccessCatalog catalog;
        try {
            catalog = AccessCatalog::read(*m_connection, m_main->table(QStringLiteral("MSysQueries")).has_value());
        } catch (const Failure &error) {
            // The file's tables are still worth reading; the list of queries
            // says what is missing.
            m_listedQueries.push_back({{}, {}, {}, {}, QStringLiteral("The saved queries and links of this file "
                                                                     "cannot be read: ") + error.description(),
                                       true, {}});
        }
        for (const AccessCatalog::Link &link : catalog.links)
            offerLink(link);
        for (const AccessCatalog::Query &query : catalog.queries)
            offerQuery(query);
        offerViews();
        declareUnknownNames();
        offerQueryList();
    }

    // A select, union or crosstab query becomes a view of its own name; any
    // other kind, or one that cannot run here, a name that says why.
    // Select, union and crosstab queries wait for offerViews(); the others
    // get a name that refuses.
    void offerQuery(const AccessCatalog::Query &found)
    {
        ListedQuery listed{found.name, QStringLiteral("unknown"), {}, {}, found.unreadable, true, {}};
        listed.listed = !AccessCatalog::isRecordSource(found.name);
        if (m_main->table(found.name))
            listed.refusal = QStringLiteral("A table of the same name hides the saved query '%1'.").arg(found.name);
        else if (found.query)
            describe(*found.query, listed);
        if (!listed.refusal.isEmpty() && !m_main->table(found.name))
            offerRefusal(found.name, listed.refusal);
        m_listedQueries.push_back(std::move(listed));
    }

    static void describe(const SavedQuery &query, ListedQuery &listed)
    {
        listed.kind = SavedQuery::kindName(query.kind());
        try {
            listed.accessSql = query.text();
            if (!query.onlyReads())
                listed.refusal = actionRefusal(query);
        } catch (const Failure &error) {
            listed.refusal = error.description();
        }
    }

    // Views may be made in any order, but a crosstab reads the values it
    // pivots on while it is translated, and so needs the queries it reads
    // from: what fails is tried again while others succeed.
    void offerViews()
    {
        std::vector<ListedQuery *> waiting;
        for (ListedQuery &listed : m_listedQueries) {
            if (listed.refusal.isEmpty() && !listed.accessSql.isEmpty())
                waiting.push_back(&listed);
        }
        for (bool progress = true; progress && !waiting.empty();) {
            progress = false;
            for (auto it = waiting.begin(); it != waiting.end();) {
                try {
                    createView(**it);
                    it = waiting.erase(it);
                    progress = true;
                } catch (const Failure &error) {
                    (*it)->refusal = viewRefusal(**it, error);
                    ++it;
                }
            }
        }
        for (ListedQuery *listed : waiting) {
            listed->sqliteSql.clear();
            offerRefusal(listed->name, listed->refusal);
        }
    }

    static QString viewRefusal(const ListedQuery &listed, const Failure &error)
    {
        return QStringLiteral("The saved %1 query '%2' cannot run here: %3")
            .arg(listed.kind, listed.name, error.description());
    }

    void createView(ListedQuery &listed)
    {
        listed.refusal.clear();
        listed.sqliteSql = translated(listed);
        const QByteArray create = (QStringLiteral("CREATE VIEW %1 AS ").arg(quoted(listed.name))
                                   + SqlText::withoutTrailingTrivia(listed.sqliteSql).toString())
                                      .toUtf8();
        m_connection->run(create.constData());
    }

    // Access asks for any name in a query that no table provides. Once every
    // view exists (a query may use one made after it), a view in which SQLite
    // finds such a name is made again with the name declared as a parameter.
    // A name a query only meets through another query is that one's.
    void declareUnknownNames()
    {
        static constexpr int rounds = 32;
        for (int round = 0; round < rounds; ++round) {
            bool changed = false;
            for (ListedQuery &listed : m_listedQueries) {
                if (listed.sqliteSql.isEmpty() || !listed.refusal.isEmpty())
                    continue;
                const QString unknown = unknownColumn(listed.name);
                if (unknown.isEmpty() || !listed.accessSql.contains(unknown, Qt::CaseInsensitive)
                    || listed.unknownNames.contains(unknown, Qt::CaseInsensitive))
                    continue;
                changed = true;
                listed.unknownNames << unknown;
                m_connection->run(QStringLiteral("DROP VIEW %1").arg(quoted(listed.name)).toUtf8().constData());
                try {
                    createView(listed);
                } catch (const Failure &error) {
                    listed.sqliteSql.clear();
                    listed.refusal = viewRefusal(listed, error);
                    offerRefusal(listed.name, listed.refusal);
                }
            }
            if (!changed)
                return;
        }
    }

    // The name SQLite finds no column for when the view is planned; empty
    // when it plans, or fails for another reason.
    QString unknownColumn(const QString &view) const
    {
        static const QString noSuchColumn = QStringLiteral("no such column: ");
        sqlite3_stmt *raw = nullptr;
        const QByteArray select = QStringLiteral("SELECT * FROM %1").arg(quoted(view)).toUtf8();
        const int rc = sqlite3_prepare_v2(m_connection->handle(), select.constData(), -1, &raw, nullptr);
        const SqliteStatement statement(raw);
        if (rc == SQLITE_OK)
            return {};
        const QString error = m_connection->errorText();
        return error.startsWith(noSuchColumn) ? error.mid(noSuchColumn.size()) : QString();
    }

    // Access SQL as SQLite runs it, as the body of a view: its parameters
    // become calls that ask for their values when the view is used.
    QString translated(const ListedQuery &listed)
    {
        AccessSqlContext context;
        context.runSelect = [this](const QString &select) { return helperRows(select); };
        context.parameterNames = listed.unknownNames;
        const AccessSqlTranslation translation = AccessSqlTranslator::translate(listed.accessSql, context);
        return withParameterCalls(translation.sql, translation.parameters);
    }

    // A view holds no bound parameters: each ?N the translator wrote becomes
    // a call that asks for the value of the Nth parameter by its name.
    static QString withParameterCalls(const QString &sql, const QList<AccessSqlParameter> &parameters)
    {
        if (parameters.isEmpty())
            return sql;
        QString out;
        out.reserve(sql.size());
        for (qsizetype at = 0; at < sql.size();) {
            const qsizetype skipped = SqlText::skipQuotedOrComment(sql, at);
            if (skipped != at) {
                out += QStringView(sql).sliced(at, skipped - at);
                at = skipped;
                continue;
            }
            qsizetype end = at + 1;
            while (sql.at(at) == u'?' && end < sql.size() && sql.at(end).isDigit())
                ++end;
            const qsizetype number = end > at + 1 ? QStringView(sql).sliced(at + 1, end - at - 1).toLongLong() : 0;
            if (number < 1 || number > parameters.size()) {
                out += sql.at(at++);
                continue;
            }
            const AccessSqlParameter &parameter = parameters.at(number - 1);
            const QString type = parameter.type.isEmpty() ? QStringLiteral("Value") : parameter.type;
            out += QStringLiteral("access_parameter(%1, %2)").arg(sqlText(parameter.name), sqlText(type));
            at = end;
        }
        return out;
    }

    static QString sqlText(QString text) { return u'\'' + text.replace(u'\'', QStringLiteral("''")) + u'\''; }

    static QString actionRefusal(const SavedQuery &query)
    {
        const QString kind = SavedQuery::kindName(query.kind());
        if (query.kind() == SavedQuery::Kind::PassThrough) {
            return QStringLiteral("'%1' is a pass-through query: it runs on the server '%2', not on this file, and "
                                  "this file is opened read-only.")
                .arg(query.name(), AccessCatalog::withoutPassword(query.connection()));
        }
        const bool vowel = kind.startsWith(u'a') || kind.startsWith(u'u');
        return QStringLiteral("'%1' is %2 %3 query: it changes the file, and this file is opened read-only.")
            .arg(query.name(), vowel ? QStringLiteral("an") : QStringLiteral("a"), kind);
    }

    // The list of saved queries, as a table of its own. Its name holds a dot,
    // which Access does not allow in the name of a table or query, so it can
    // never hide one of the file's own.
    void offerQueryList()
    {
        const QString table = quoted(JetDatabase::queryListName());
        m_connection->run(
            QStringLiteral("CREATE TABLE %1(Name TEXT, Kind TEXT, AccessSQL TEXT, SQLiteSQL TEXT, Refusal TEXT)")
                .arg(table)
                .toUtf8()
                .constData());
        sqlite3_stmt *raw = nullptr;
        const QByteArray insertSql = QStringLiteral("INSERT INTO %1 VALUES (?1, ?2, ?3, ?4, ?5)").arg(table).toUtf8();
        if (sqlite3_prepare_v2(m_connection->handle(), insertSql.constData(), -1, &raw, nullptr) != SQLITE_OK)
            m_connection->fail();
        const SqliteStatement insert(raw);
        for (const ListedQuery &listed : m_listedQueries) {
            if (!listed.listed)
                continue;
            const QString *values[] = {&listed.name, &listed.kind, &listed.accessSql, &listed.sqliteSql,
                                       &listed.refusal};
            for (int i = 0; i < 5; ++i) {
                if (values[i]->isEmpty())
                    sqlite3_bind_null(raw, i + 1);
                else
                    sqlite3_bind_text16(raw, i + 1, values[i]->utf16(), int(values[i]->size() * 2), SQLITE_TRANSIENT);
            }
            if (sqlite3_step(raw) != SQLITE_DONE)
                m_connection->fail();
            sqlite3_reset(raw);
        }
    }

    void offerLink(const AccessCatalog::Link &link)
    {
        if (m_main->table(link.name))
            return;
        if (link.odbc) {
            offerRefusal(link.name,
                         QStringLiteral("The linked table '%1' is the table '%2' of the ODBC data source '%3', which "
                                        "this program cannot reach.")
                             .arg(link.name, link.foreignName, AccessCatalog::withoutPassword(link.database)));
            return;
        }
        const QDir folder = QFileInfo(m_main->path).absoluteDir();
        const QString found = AccessCatalog::findBackEnd(link.database, folder);
        if (found.isEmpty()) {
            const QString fileName = link.database.mid(
                std::max(link.database.lastIndexOf(u'\\'), link.database.lastIndexOf(u'/')) + 1);
            offerRefusal(link.name, QStringLiteral("The linked table '%1' is in the file '%2', which was found "
                                                   "neither there nor as '%3' in the folder '%4'.")
                                        .arg(link.name, link.database, fileName, folder.absolutePath()));
            return;
        }
        try {
            JetFile &backEnd = backEndFile(found);
            const std::optional<std::size_t> table = backEnd.table(link.foreignName);
            if (!table)
                throw Failure(QStringLiteral("it has no table '%1'.").arg(link.foreignName));
            offerTable(link.name, moduleOf(backEnd), *table);
        } catch (const Failure &error) {
            offerRefusal(link.name, QStringLiteral("The linked table '%1' is in the file '%2', which cannot be "
                                                   "read: %3")
                                        .arg(link.name, found, error.description()));
        }
    }

    // Each back end is opened once, however many links lead to it, and read
    // through a module of its own.
    JetFile &backEndFile(const QString &path)
    {
        for (const auto &backEnd : m_backEnds) {
            if (backEnd->path == path)
                return *backEnd;
        }
        auto backEnd = std::make_unique<JetFile>(path, m_silenceLimitMs);
        const QByteArray module = moduleOf(m_backEnds.size()).toUtf8();
        if (sqlite3_create_module_v2(m_connection->handle(), module.constData(), &jetModule, &backEnd->source,
                                     nullptr)
            != SQLITE_OK)
            m_connection->fail();
        m_backEnds.push_back(std::move(backEnd));
        return *m_backEnds.back();
    }

    QString moduleOf(const JetFile &backEnd) const
    {
        for (std::size_t i = 0; i < m_backEnds.size(); ++i) {
            if (m_backEnds[i].get() == &backEnd)
                return moduleOf(i);
        }
        return {};
    }

    static QString moduleOf(std::size_t backEnd) { return QStringLiteral("jet_link%1").arg(backEnd); }

    int m_silenceLimitMs;
    std::unique_ptr<JetFile> m_main;
    std::vector<ListedQuery> m_listedQueries;
    std::vector<std::unique_ptr<JetFile>> m_backEnds;
    std::vector<QString> m_refusals;
    AccessParameters m_parameters;
    std::optional<SqliteConnection> m_connection;
};

QString JetDatabase::queryListName()
{
    return QStringLiteral("Morvane.Queries");
}

bool JetDatabase::hasSignature(QByteArrayView header)
{
    if (header.size() < signatureOffset + qsizetype(sizeof jetSignature))
        return false;
    const QByteArrayView found = header.sliced(signatureOffset, sizeof jetSignature);
    return found == QByteArrayView(jetSignature, sizeof jetSignature)
        || found == QByteArrayView(aceSignature, sizeof aceSignature);
}

JetDatabase::JetDatabase(const QString &path, int readerSilenceLimitMs)
    : d(std::make_unique<Private>(path, readerSilenceLimitMs))
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

void JetDatabase::setParameterPrompt(ParameterPrompt prompt)
{
    d->setParameterPrompt(std::move(prompt));
}

void JetDatabase::interrupt()
{
    d->interrupt();
}

} // namespace morvane

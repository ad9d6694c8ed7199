#include "JetDatabase.h"

#include "AccessCatalog.h"
#include "AccessFunctions.h"
#include "AccessParameters.h"
#include "AccessSqlTranslator.h"
#include "AccessTextCollation.h"
#include "Failure.h"
#include "JetFile.h"
#include "JetTableCache.h"
#include "JetTableScan.h"
#include "SavedQueryViews.h"
#include "SqlText.h"
#include "SqliteConnection.h"
#include "SqliteGuard.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <utility>

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
        columns << (SqlText::quotedName(column.name) + u' ' + declaredType(column.type)).trimmed();
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

} // namespace

class JetDatabase::Private
{
public:
    Private(const QString &path, int readerSilenceLimitMs, const PasswordPrompt &askPassword)
        : m_silenceLimitMs(readerSilenceLimitMs)
    {
        try {
            m_main = std::make_unique<JetFile>(path, readerSilenceLimitMs, askPassword);
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
            file->source().readers->interrupt();
    }

private:
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
            file->source().readers->statementStarts();
            file->noticeChanges();
            file->source().statementOpened();
        }
    }

    void statementClosed()
    {
        for (JetFile *file : files())
            file->source().statementClosed();
    }

    void openConnection()
    {
        sqlite3 *raw = nullptr;
        const int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        SqliteHandle handle(raw);
        if (rc != SQLITE_OK)
            refuse(m_main->path(), QString::fromUtf8(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
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
            if (sqlite3_create_module_v2(db, "jet", &jetModule, &m_main->source(), nullptr) != SQLITE_OK
                || sqlite3_create_module_v2(db, "refused", &refusedModule, &m_refusals, nullptr) != SQLITE_OK)
                m_connection->fail();
            for (std::size_t i = 0; i < m_main->source().tables.size(); ++i)
                offerTable(m_main->source().tables[i].name, QStringLiteral("jet"), i);
            offerObjects();
        } catch (const Failure &error) {
            refuse(m_main->path(), error.description());
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
        return SavedQueryViews::withParameterCalls(translation.sql, translation.parameters);
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
            QStringLiteral("CREATE VIRTUAL TABLE %1 USING %2(%3)").arg(SqlText::quotedName(name), module).arg(index).toUtf8();
        try {
            m_connection->run(create.constData());
        } catch (const Failure &error) {
            throw Failure(QStringLiteral("the table '%1' cannot be offered: %2").arg(name, error.description()));
        }
    }

    // A name already taken (by a table, or an object Access would not let
    // share it) keeps what it names; the list of queries still says why.
    void offerRefusal(const QString &name, const QString &reason)
    {
        m_refusals.push_back(reason);
        try {
            offerTable(name, QStringLiteral("refused"), m_refusals.size() - 1);
        } catch (const Failure &) {
            m_refusals.pop_back();
        }
    }

    // The file's links and saved queries, each under its own name.
    void offerObjects()
    {
        const bool hasObjects = m_main->table(QStringLiteral("MSysObjects")).has_value();
        if (!hasObjects)
            return;
        SavedQueryViews views(*m_connection,
                              {[this](const QString &select) { return helperRows(select); },
                               [this](const QString &name, const QString &reason) { offerRefusal(name, reason); },
                               [this](const QString &name) { return m_main->table(name).has_value(); }});
        AccessCatalog catalog;
        try {
            catalog = AccessCatalog::read(*m_connection, m_main->table(QStringLiteral("MSysQueries")).has_value());
        } catch (const Failure &error) {
            // The file's tables are still worth reading; the list of queries
            // says what is missing.
            views.noteUnreadable(QStringLiteral("The saved queries and links of this file cannot be read: ")
                                 + error.description());
        }
        for (const AccessCatalog::Link &link : catalog.links)
            offerLink(link);
        views.offer(catalog.queries);
        // Its name holds a dot, which Access allows in no table or query
        // name, so it never hides one of the file's own.
        views.createList(JetDatabase::queryListName());
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
        const QDir folder = QFileInfo(m_main->path()).absoluteDir();
        const QString found = AccessCatalog::findBackEnd(link.database, folder);
        if (found.isEmpty()) {
            const QString fileName = AccessCatalog::fileName(link.database);
            offerRefusal(link.name, QStringLiteral("The linked table '%1' is in the file '%2', which was found "
                                                   "neither there nor as '%3' in the folder '%4'.")
                                        .arg(link.name, link.database, fileName, folder.absolutePath()));
            return;
        }
        try {
            const std::size_t backEnd = backEndIndex(found);
            const std::optional<std::size_t> table = m_backEnds[backEnd]->table(link.foreignName);
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
    // through a module of its own, named after its place among them.
    std::size_t backEndIndex(const QString &path)
    {
        for (std::size_t i = 0; i < m_backEnds.size(); ++i) {
            if (m_backEnds[i]->path() == path)
                return i;
        }
        auto backEnd = std::make_unique<JetFile>(path, m_silenceLimitMs);
        const QByteArray module = moduleOf(m_backEnds.size()).toUtf8();
        if (sqlite3_create_module_v2(m_connection->handle(), module.constData(), &jetModule, &backEnd->source(),
                                     nullptr)
            != SQLITE_OK)
            m_connection->fail();
        m_backEnds.push_back(std::move(backEnd));
        return m_backEnds.size() - 1;
    }

    static QString moduleOf(std::size_t backEnd) { return QStringLiteral("jet_link%1").arg(backEnd); }

    int m_silenceLimitMs;
    std::unique_ptr<JetFile> m_main;
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

void JetDatabase::setParameterPrompt(ParameterPrompt prompt)
{
    d->setParameterPrompt(std::move(prompt));
}

void JetDatabase::interrupt()
{
    d->interrupt();
}

} // namespace morvane

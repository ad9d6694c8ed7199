#include "SqliteGuard.h"

#include <sqlite3.h>

#include <initializer_list>

namespace morvane {

namespace {

bool named(const char *name, std::initializer_list<const char *> names)
{
    if (!name)
        return false;
    for (const char *candidate : names) {
        if (sqlite3_stricmp(name, candidate) == 0)
            return true;
    }
    return false;
}

// Pragmas that only report, whatever their argument: the argument names a
// table, an index or a limit.
bool isReportWithArgument(const char *name)
{
    return named(name, {"table_info", "table_xinfo", "table_list", "index_list", "index_info", "index_xinfo",
                        "foreign_key_list", "foreign_key_check", "integrity_check", "quick_check",
                        "collation_list", "function_list", "module_list", "pragma_list", "database_list",
                        "compile_options"});
}

// Settings that may be read; without an argument these pragmas only report.
bool isReadableSetting(const char *name)
{
    return named(name, {"application_id", "auto_vacuum", "automatic_index", "busy_timeout", "cache_size",
                        "cache_spill", "cell_size_check", "data_version", "defer_foreign_keys", "encoding",
                        "foreign_keys", "freelist_count", "journal_mode", "journal_size_limit", "locking_mode",
                        "max_page_count", "mmap_size", "page_count", "page_size", "query_only",
                        "recursive_triggers", "schema_version", "secure_delete", "synchronous", "temp_store",
                        "trusted_schema", "user_version", "wal_autocheckpoint", "analysis_limit"});
}

// What Execute may change: the file's own settings and maintenance, and the
// connection's settings that do not weaken how the file is guarded.
bool isChangeableSetting(const char *name)
{
    return named(name, {"application_id", "user_version", "auto_vacuum", "page_size", "journal_mode",
                        "wal_checkpoint", "wal_autocheckpoint", "incremental_vacuum", "optimize",
                        "analysis_limit", "foreign_keys", "defer_foreign_keys", "recursive_triggers",
                        "automatic_index", "cache_size", "cache_spill", "journal_size_limit",
                        "max_page_count", "temp_store", "shrink_memory"});
}

// Without a journal, or with one in memory only, a change is no longer
// atomic: a crash in the middle of it damages the file.
bool isSafeJournalMode(const char *value)
{
    return !value || named(value, {"delete", "truncate", "persist", "wal"});
}

QString text(const char *utf8)
{
    return QString::fromUtf8(utf8 ? utf8 : "");
}

QString pragmaText(const char *name, const char *value)
{
    return value ? QStringLiteral("pragma %1 = %2").arg(text(name), text(value))
                 : QStringLiteral("pragma %1").arg(text(name));
}

bool isSchemaTable(const char *table)
{
    return named(table, {"sqlite_master", "sqlite_temp_master"});
}

bool isSchemaChange(int action)
{
    switch (action) {
    case SQLITE_CREATE_INDEX:
    case SQLITE_CREATE_TABLE:
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_CREATE_TEMP_TABLE:
    case SQLITE_CREATE_TEMP_TRIGGER:
    case SQLITE_CREATE_TEMP_VIEW:
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_CREATE_VIEW:
    case SQLITE_DROP_INDEX:
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_TEMP_INDEX:
    case SQLITE_DROP_TEMP_TABLE:
    case SQLITE_DROP_TEMP_TRIGGER:
    case SQLITE_DROP_TEMP_VIEW:
    case SQLITE_DROP_TRIGGER:
    case SQLITE_DROP_VIEW:
    case SQLITE_ALTER_TABLE:
    case SQLITE_REINDEX:
    case SQLITE_ANALYZE:
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_VTABLE:
        return true;
    default:
        return false;
    }
}

} // namespace

SqliteGuard::SqliteGuard(sqlite3 *db) : m_db(db)
{
    sqlite3_set_authorizer(m_db, &SqliteGuard::authorize, this);
}

SqliteGuard::~SqliteGuard()
{
    sqlite3_set_authorizer(m_db, nullptr, nullptr);
}

void SqliteGuard::use(Rule rule)
{
    m_rule = rule;
    m_refusal.clear();
    m_checks = 0;
    m_settingRead = false;
}

bool SqliteGuard::isForbiddenFunction(const char *name)
{
    return named(name, {"fts3_tokenizer", "load_extension"});
}

int SqliteGuard::disableUnsafeFeatures(sqlite3 *db)
{
    int rc = sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    return rc;
}

int SqliteGuard::authorize(void *self, int action, const char *first, const char *second, const char *, const char *)
{
    return static_cast<SqliteGuard *>(self)->check(action, first, second);
}

int SqliteGuard::refuse(QString why)
{
    // The first reason is the one the statement failed for.
    if (m_refusal.isEmpty())
        m_refusal = std::move(why);
    return SQLITE_DENY;
}

int SqliteGuard::check(int action, const char *first, const char *second)
{
    if (m_rule == Rule::Internal)
        return SQLITE_OK;
    ++m_checks;
    if (action == SQLITE_FUNCTION && isForbiddenFunction(second))
        return refuse(QStringLiteral("The function %1 cannot be used in a statement.").arg(text(second)));
    if (action == SQLITE_PRAGMA)
        return checkPragma(first, second);
    if (m_rule == Rule::ExecuteRunning)
        return SQLITE_OK;

    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_RECURSIVE:
    case SQLITE_FUNCTION:
        return SQLITE_OK;
    case SQLITE_UPDATE:
        // SQLite asks this of itself when a table-valued pragma first
        // declares its columns. A typed write to the schema table is still
        // refused: Get opens only statements that SQLite finds read-only, and
        // defensive mode keeps the schema table from being written at all.
        if (isSchemaTable(first))
            return SQLITE_OK;
        break;
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
        // One that a running statement asks for is a write of its own.
        if (m_rule == Rule::GetRunning)
            break;
        return refuse(QStringLiteral("Transactions and savepoints cannot be used here: every Execute is saved "
                                     "to the file on its own as soon as it succeeds."));
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
        return refuse(QStringLiteral("Other database files cannot be attached: only the open file is used."));
    default:
        break;
    }
    if (m_rule == Rule::Execute)
        return SQLITE_OK;
    if (m_rule == Rule::GetRunning)
        return refuse(QStringLiteral("Get only reads, and this statement would change the data."));
    // A new table or index is first written into the schema table.
    if (isSchemaChange(action) || isSchemaTable(first))
        return refuse(QStringLiteral("Get only reads, and this statement would change the database's tables. "
                                     "Run it with Execute."));
    return refuse(QStringLiteral("Get only reads, and this statement would change the data. Run it with Execute."));
}

int SqliteGuard::checkPragma(const char *name, const char *value)
{
    if (isReportWithArgument(name))
        return SQLITE_OK;
    if (!value && isReadableSetting(name)) {
        m_settingRead = true;
        return SQLITE_OK;
    }
    if (reading())
        return refuse(QStringLiteral("Get only reads, and %1 would change the database or its settings.")
                          .arg(pragmaText(name, value)));
    if (!isChangeableSetting(name))
        return refuse(QStringLiteral("%1 cannot be run: the setting guards the database file and its changes.")
                          .arg(pragmaText(name, value)));
    if (named(name, {"journal_mode"})) {
        if (!isSafeJournalMode(value))
            return refuse(QStringLiteral("%1 cannot be run: without a journal on disk a change is not safe.")
                              .arg(pragmaText(name, value)));
        m_journalModeChanged = true;
    }
    return SQLITE_OK;
}

} // namespace morvane

#include "SavedQueryViews.h"

#include "Failure.h"
#include "SqlText.h"
#include "SqliteConnection.h"

#include <sqlite3.h>

namespace morvane {

SavedQueryViews::SavedQueryViews(SqliteConnection &connection, Hooks hooks)
    : m_connection(connection), m_hooks(std::move(hooks))
{
}

void SavedQueryViews::offer(const std::vector<AccessCatalog::Query> &queries)
{
    for (const AccessCatalog::Query &query : queries)
        offerQuery(query);
    offerViews();
    declareUnknownNames();
}

void SavedQueryViews::noteUnreadable(const QString &why)
{
    ListedQuery listed;
    listed.refusal = why;
    m_queries.push_back(std::move(listed));
}

// Select, union and crosstab queries wait for offerViews(); the others get
// a name that refuses.
void SavedQueryViews::offerQuery(const AccessCatalog::Query &found)
{
    ListedQuery listed;
    listed.name = found.name;
    listed.kind = QStringLiteral("unknown");
    listed.refusal = found.unreadable;
    listed.listed = !AccessCatalog::isRecordSource(found.name);
    if (m_hooks.isTable(found.name)) {
        // The table keeps the name; only the list says why.
        listed.refusal = QStringLiteral("A table of the same name hides the saved query '%1'.").arg(found.name);
    } else {
        if (found.query)
            describe(*found.query, listed);
        if (!listed.refusal.isEmpty())
            m_hooks.refuse(found.name, listed.refusal);
    }
    m_queries.push_back(std::move(listed));
}

void SavedQueryViews::describe(const SavedQuery &query, ListedQuery &listed)
{
    listed.kind = SavedQuery::kindName(query.kind());
    try {
        listed.accessSql = query.text();
        listed.runnableSql = query.runnableText();
        if (!query.onlyReads())
            listed.refusal = actionRefusal(query);
    } catch (const Failure &error) {
        listed.refusal = error.description();
    }
}

// Views may be made in any order, but a crosstab reads the values it
// pivots on while it is translated, and so needs the queries it reads
// from: what fails is tried again while others succeed.
void SavedQueryViews::offerViews()
{
    std::vector<ListedQuery *> waiting;
    for (ListedQuery &listed : m_queries) {
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
        m_hooks.refuse(listed->name, listed->refusal);
    }
}

QString SavedQueryViews::viewRefusal(const ListedQuery &listed, const Failure &error)
{
    return QStringLiteral("The saved %1 query '%2' cannot run here: %3")
        .arg(listed.kind, listed.name, error.description());
}

void SavedQueryViews::createView(ListedQuery &listed)
{
    listed.refusal.clear();
    listed.sqliteSql = translated(listed);
    const QByteArray create = (QStringLiteral("CREATE VIEW %1 AS ").arg(SqlText::quotedName(listed.name))
                               + SqlText::withoutTrailingTrivia(listed.sqliteSql).toString())
                                  .toUtf8();
    m_connection.run(create.constData());
}

// Access asks for any name in a query that no table provides. Once every
// view exists (a query may use one made after it), a view in which SQLite
// finds such a name is made again with the name declared as a parameter.
// A name a query only meets through another query is that one's.
void SavedQueryViews::declareUnknownNames()
{
    static constexpr int rounds = 32;
    for (int round = 0; round < rounds; ++round) {
        bool changed = false;
        for (ListedQuery &listed : m_queries) {
            if (listed.sqliteSql.isEmpty() || !listed.refusal.isEmpty())
                continue;
            const QString unknown = unknownColumn(listed.name);
            if (unknown.isEmpty() || !listed.accessSql.contains(unknown, Qt::CaseInsensitive)
                || listed.unknownNames.contains(unknown, Qt::CaseInsensitive))
                continue;
            changed = true;
            listed.unknownNames << unknown;
            m_connection.run(QStringLiteral("DROP VIEW %1").arg(SqlText::quotedName(listed.name)).toUtf8().constData());
            try {
                createView(listed);
            } catch (const Failure &error) {
                listed.sqliteSql.clear();
                listed.refusal = viewRefusal(listed, error);
                m_hooks.refuse(listed.name, listed.refusal);
            }
        }
        if (!changed)
            return;
    }
}

// The name SQLite finds no column for when the view is planned; empty
// when it plans, or fails for another reason.
QString SavedQueryViews::unknownColumn(const QString &view) const
{
    static const QString noSuchColumn = QStringLiteral("no such column: ");
    sqlite3_stmt *raw = nullptr;
    const QByteArray select = QStringLiteral("SELECT * FROM %1").arg(SqlText::quotedName(view)).toUtf8();
    const int rc = sqlite3_prepare_v2(m_connection.handle(), select.constData(), -1, &raw, nullptr);
    const SqliteStatement statement(raw);
    if (rc == SQLITE_OK)
        return {};
    const QString error = m_connection.errorText();
    return error.startsWith(noSuchColumn) ? error.mid(noSuchColumn.size()) : QString();
}

// Access SQL as SQLite runs it, as the body of a view: its parameters
// become calls that ask for their values when the view is used.
QString SavedQueryViews::translated(const ListedQuery &listed) const
{
    AccessSqlContext context;
    context.runSelect = m_hooks.runSelect;
    context.parameterNames = listed.unknownNames;
    const AccessSqlTranslation translation = AccessSqlTranslator::translate(listed.runnableSql, context);
    return withParameterCalls(translation.sql, translation.parameters);
}

// A view holds no bound parameters: each ?N the translator wrote becomes
// a call that asks for the value of the Nth parameter by its name.
QString SavedQueryViews::withParameterCalls(const QString &sql, const QList<AccessSqlParameter> &parameters)
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
        out += QStringLiteral("access_parameter(%1, %2)").arg(SqlText::quotedText(parameter.name), SqlText::quotedText(type));
        at = end;
    }
    return out;
}

QString SavedQueryViews::actionRefusal(const SavedQuery &query)
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

void SavedQueryViews::createList(const QString &tableName)
{
    const QString table = SqlText::quotedName(tableName);
    m_connection.run(
        QStringLiteral("CREATE TABLE %1(Name TEXT, Kind TEXT, AccessSQL TEXT, SQLiteSQL TEXT, Refusal TEXT)")
            .arg(table)
            .toUtf8()
            .constData());
    sqlite3_stmt *raw = nullptr;
    const QByteArray insertSql = QStringLiteral("INSERT INTO %1 VALUES (?1, ?2, ?3, ?4, ?5)").arg(table).toUtf8();
    if (sqlite3_prepare_v2(m_connection.handle(), insertSql.constData(), -1, &raw, nullptr) != SQLITE_OK)
        m_connection.fail();
    const SqliteStatement insert(raw);
    for (const ListedQuery &listed : m_queries) {
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
            m_connection.fail();
        sqlite3_reset(raw);
    }
}

} // namespace morvane

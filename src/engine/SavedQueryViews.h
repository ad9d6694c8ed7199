#pragma once

#include "AccessCatalog.h"
#include "AccessSqlTranslator.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace morvane {

class Failure;
class SqliteConnection;

// The saved queries of an Access file as objects of the SQLite connection
// over it: each select, union and crosstab query a view of its own name,
// each other kind (and each that cannot run here) a name that refuses with
// the reason, and a table that lists them all.
//
// Parameters, declared or names no table provides, become calls of
// access_parameter(name, type) (AccessParameters), which ask when the view
// is used: a view cannot hold bound parameters.
class SavedQueryViews
{
public:
    struct Hooks
    {
        // Runs a select on the connection: the translator reads the values a
        // crosstab pivots on.
        std::function<AccessSqlRows(const QString &select)> runSelect;
        // Offers a name that fails with `reason` wherever a statement uses it.
        std::function<void(const QString &name, const QString &reason)> refuse;
        // Whether the file has a table of that name, which wins over a query.
        std::function<bool(const QString &name)> isTable;
    };

    SavedQueryViews(SqliteConnection &connection, Hooks hooks);

    void offer(const std::vector<AccessCatalog::Query> &queries);
    // Says in the list why the file's queries could not be read at all.
    void noteUnreadable(const QString &why);
    // The list as a table: Name, Kind, AccessSQL, SQLiteSQL, Refusal. Record
    // sources of forms and reports are left out.
    void createList(const QString &tableName);

    // Each ?N the translator wrote becomes a call that asks for the value of
    // its Nth parameter by name.
    [[nodiscard]] static QString withParameterCalls(const QString &sql, const QList<AccessSqlParameter> &parameters);

private:
    struct ListedQuery
    {
        QString name;
        QString kind;
        QString accessSql;
        // The Access SQL given to the translator (SavedQuery::runnableText).
        QString runnableSql;
        QString sqliteSql;
        QString refusal;
        bool listed = true;
        // Names no table provides, which Access asks for as parameters.
        QStringList unknownNames;
    };

    void offerQuery(const AccessCatalog::Query &found);
    static void describe(const SavedQuery &query, ListedQuery &listed);
    void offerViews();
    static QString viewRefusal(const ListedQuery &listed, const Failure &error);
    void createView(ListedQuery &listed);
    void declareUnknownNames();
    [[nodiscard]] QString unknownColumn(const QString &view) const;
    [[nodiscard]] QString translated(const ListedQuery &listed) const;
    static QString actionRefusal(const SavedQuery &query);

    SqliteConnection &m_connection;
    Hooks m_hooks;
    std::vector<ListedQuery> m_queries;
};

} // namespace morvane

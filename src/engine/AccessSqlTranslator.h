#pragma once

// Translates a select statement in Access SQL into SQLite SQL over the
// Access backend's tables, so that it means what it means in Access: text in
// double quotes, [names], #dates# (month first), & and text +, Like with
// Access's wildcards, True = -1, Mod \ ^ Xor Eqv Imp, TOP n [PERCENT] with
// ties kept, DISTINCTROW, PARAMETERS, TRANSFORM ... PIVOT (crosstab), unions
// and Access's parenthesised joins. Statements written in SQLite's syntax
// that mean the same in Access come out meaning the same.
//
// The SQL it writes relies on what the Access backend installs on its
// connection (AccessFunctions): the text collation ACCESS_TEXT, like() with
// Access's wildcards, and the access_* helpers. Table and query names pass
// through as quoted names, so a saved query registered as a view of that
// name is found like a table. The SQL keeps no state between runs: it can be
// the body of a view.
//
// Anything it does not know (an action statement, a window function, a table
// in another file) is refused with a Failure whose description names it;
// nothing is passed on to give a different answer. Linear in the length of
// the statement; no state, any thread.

#include "FieldValue.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>

namespace morvane {

// One declared parameter (PARAMETERS [Start] DateTime, ...), in order; then
// the undeclared ones the context names, in the order met.
struct AccessSqlParameter
{
    QString name;
    QString type; // as declared ("DateTime", "Text (255)"); empty when undeclared
};

// The rows of a helper select that the translator runs while it translates.
struct AccessSqlRows
{
    QStringList columns;
    QList<QList<FieldValue>> rows;
};

struct AccessSqlContext
{
    // Runs a select in SQLite SQL on the connection the result will run on.
    // The translator asks it for the distinct values of a crosstab's PIVOT
    // without IN (...), and for the columns behind * where TOP must name
    // them. When empty, those constructs are refused.
    std::function<AccessSqlRows(const QString &sqliteSelect)> runSelect;
    // Names that are parameters although no PARAMETERS clause declares them
    // (the caller found that no table provides them).
    QStringList parameterNames;
    // Values for parameters, keyed by the name in lower case: such a
    // parameter is written into the SQL as a literal. Parameters without a
    // value are written as ?1, ?2, ... by their place in the result's list.
    QHash<QString, FieldValue> parameterValues;
};

struct AccessSqlTranslation
{
    QString sql;
    QList<AccessSqlParameter> parameters;
};

class AccessSqlTranslator
{
public:
    // Failure (naming the construct) for what it cannot translate.
    [[nodiscard]] static AccessSqlTranslation translate(QStringView accessSql, const AccessSqlContext &context = {});
};

} // namespace morvane

#pragma once

#include "AccessSqlLexer.h"

#include <QString>
#include <QStringView>

#include <deque>
#include <memory>
#include <vector>

namespace morvane {

// The tree of an Access SQL statement, as AccessSqlParser builds it. Nodes
// live in the tree's arena and point into the statement's text, which must
// outlive them.
namespace accesssql {

struct Query;

struct Expr
{
    enum class Kind {
        Number,    // value: the digits as typed
        Text,      // value: the text
        Date,      // value: "YYYY-MM-DD[ HH:MM:SS]"
        Boolean,   // True/Yes/On (value "-1") or False/No/Off ("0")
        Null,
        Column,    // names: the parts of a qualified name
        Star,      // names: the qualifier of t.*, empty for *
        Parameter, // index into Statement::parameters
        Unary,     // op: "-", "+", "NOT"; args: the operand
        Binary,    // op as typed, upper-cased for words (AND, MOD, &, ...); args: both sides
        Like,      // args: value, pattern[, escape]
        Between,   // args: value, low, high
        In,        // args: value, then the list; or query
        IsNull,    // args: value
        Is,        // args: both sides (SQLite's IS)
        Exists,    // query
        Subquery,  // query
        Call,      // op: the name as typed; args; distinct; star for Count(*)
        Case,      // args: [operand,] when, then, ..., [else]; hasOperand, hasElse
        Cast,      // args: value; value: the type as typed
        Collate,   // args: value; op: the collation
    };

    Kind kind;
    QStringView op;
    QString value;
    // The text this node was parsed from, for names of output columns.
    QStringView source;
    std::vector<QStringView> names;
    std::vector<Expr *> args;
    Query *query = nullptr;
    int parameter = -1;
    bool negated = false;
    bool distinct = false;
    bool star = false;
    bool hasOperand = false;
    bool hasElse = false;
    // A window function (SQLite's): OVER (PARTITION BY ... ORDER BY ...).
    bool window = false;
    std::vector<Expr *> partition;
    std::vector<std::pair<Expr *, bool>> windowOrder; // key, descending
};

struct Source
{
    enum class Kind { Table, Derived, Join };
    Kind kind;
    std::vector<QStringView> names; // Table: schema parts and the name
    QStringView alias;
    Query *query = nullptr;          // Derived
    Source *left = nullptr;          // Join
    Source *right = nullptr;
    QString joinType;                // "INNER JOIN", "LEFT JOIN", "CROSS JOIN", ","...
    Expr *on = nullptr;
    std::vector<QStringView> usingColumns;
    bool parenthesised = false;
};

struct SelectItem
{
    Expr *expr = nullptr;
    QStringView alias;
};

struct OrderTerm
{
    Expr *expr = nullptr;
    bool descending = false;
};

struct Select
{
    bool distinct = false;  // DISTINCT; DISTINCTROW is read as ALL, as Access does for one table
    Expr *top = nullptr;
    bool percent = false;
    std::vector<SelectItem> items;
    std::vector<Source *> from;
    Expr *where = nullptr;
    std::vector<Expr *> groupBy;
    Expr *having = nullptr;
    // Set when this select is a part of a crosstab.
    bool crosstab = false;
};

struct CommonTable
{
    QStringView name;
    std::vector<QStringView> columns;
    Query *query = nullptr;
};

struct Query
{
    std::vector<CommonTable> with;
    bool recursive = false;
    std::vector<Select *> parts;
    std::vector<QString> operators; // between parts: "UNION", "UNION ALL", ...
    std::vector<OrderTerm> orderBy;
    Expr *limit = nullptr;
    Expr *offset = nullptr;
};

struct Parameter
{
    QString name;
    QString type;
};

struct Transform
{
    Expr *value = nullptr;
    Expr *pivot = nullptr;
    std::vector<Expr *> pivotValues;
    bool hasValues = false;
};

struct Statement
{
    std::vector<Parameter> parameters;
    Query *query = nullptr;
    std::unique_ptr<Transform> transform; // TRANSFORM ... PIVOT: query holds the select
};

} // namespace accesssql

// Reads one Access SQL select statement (or a union, or a crosstab) into a
// tree: precedence climbing for expressions, recursive descent for the rest.
// Everything it does not know is a Failure that names it; it never skips
// text. Linear in the statement's length.
class AccessSqlParser
{
public:
    // Names (any letter case) that are parameters without a declaration.
    AccessSqlParser(QStringView sql, const QStringList &extraParameters);
    ~AccessSqlParser();

    // The statement; the parser owns its nodes.
    [[nodiscard]] const accesssql::Statement &parse();

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace morvane

#include "AccessSqlTranslator.h"

#include "AccessSqlParser.h"
#include "Failure.h"
#include "SqlText.h"

#include <algorithm>

namespace morvane {

using namespace accesssql;

namespace {

constexpr QLatin1StringView collate(" COLLATE ACCESS_TEXT");

enum class Mode { Value, Condition };

// Quotes are doubled inside.
void appendQuoted(QString &out, QStringView text, QChar quote)
{
    out += quote;
    for (QChar c : text) {
        out += c;
        if (c == quote)
            out += c;
    }
    out += quote;
}

void appendName(QString &out, QStringView name)
{
    appendQuoted(out, name, u'"');
}

void appendText(QString &out, QStringView text)
{
    appendQuoted(out, text, u'\'');
}

// Each item through append, with the separator between them.
template <typename Items, typename Append>
void appendJoined(QString &out, const Items &items, QStringView separator, Append append)
{
    bool first = true;
    for (const auto &item : items) {
        if (!first)
            out += separator;
        first = false;
        append(item);
    }
}

void appendNames(QString &out, const std::vector<QStringView> &names, QStringView separator)
{
    appendJoined(out, names, separator, [&out](QStringView name) { appendName(out, name); });
}

bool isWord(QStringView a, QStringView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isAggregateName(QStringView name)
{
    static constexpr QStringView names[] = {u"count", u"sum",   u"avg",  u"min",  u"max",          u"first",
                                            u"last",  u"stdev", u"stdevp", u"var", u"varp", u"group_concat",
                                            u"total"};
    return std::any_of(std::begin(names), std::end(names), [name](QStringView n) { return isWord(n, name); });
}

bool isAggregateCall(const Expr &e)
{
    return e.kind == Expr::Kind::Call && isAggregateName(e.op)
        && !((isWord(e.op, u"min") || isWord(e.op, u"max")) && e.args.size() > 1);
}

bool containsAggregate(const Expr *e)
{
    if (!e)
        return false;
    if (isAggregateCall(*e))
        return true;
    return std::any_of(e->args.begin(), e->args.end(), containsAggregate);
}

// Constructs whose value is a truth value: in Access True is -1.
bool yieldsCondition(const Expr &e)
{
    switch (e.kind) {
    case Expr::Kind::Like:
    case Expr::Kind::Between:
    case Expr::Kind::In:
    case Expr::Kind::IsNull:
    case Expr::Kind::Is:
    case Expr::Kind::Exists:
        return true;
    case Expr::Kind::Unary:
        return e.value == u"NOT";
    case Expr::Kind::Binary: {
        static constexpr QStringView conditions[] = {u"=",   u"<>",  u"<",   u">",   u"<=",   u">=",      u"AND",
                                                     u"OR",  u"XOR", u"EQV", u"IMP", u"GLOB", u"NOT GLOB"};
        return std::find(std::begin(conditions), std::end(conditions), QStringView(e.value)) != std::end(conditions);
    }
    default:
        return false;
    }
}

bool isLiteral(const Expr &e)
{
    return e.kind == Expr::Kind::Text || e.kind == Expr::Kind::Number || e.kind == Expr::Kind::Date
        || e.kind == Expr::Kind::Boolean;
}

bool isNumberLiteral(const Expr &e)
{
    return e.kind == Expr::Kind::Number
        || (e.kind == Expr::Kind::Unary && e.value == u"-" && e.args[0]->kind == Expr::Kind::Number);
}

void flattenConcatenation(const Expr *e, std::vector<const Expr *> &operands)
{
    if (e->kind == Expr::Kind::Binary && e->value == u"&") {
        flattenConcatenation(e->args[0], operands);
        flattenConcatenation(e->args[1], operands);
    } else {
        operands.push_back(e);
    }
}

[[noreturn]] void refuse(const QString &what)
{
    throw Failure(QStringLiteral("Access SQL that Morvane does not run: %1.").arg(what));
}

// One output column of a select, written out: its SQL and its name.
struct Column
{
    QString sql;
    QString name;
    QStringView alias;
    QStringView source;
    // For the columns * stands for: the table or alias they come from.
    bool fromStar = false;
    QString qualifier;
};

class Printer
{
public:
    Printer(const Statement &statement, const AccessSqlContext &context, qsizetype sourceSize)
        : m_statement(statement), m_context(context), m_sourceSize(sourceSize)
    {
    }

    QString statement()
    {
        QString out;
        out.reserve(m_sourceSize * 2 + 256);
        if (m_statement.transform)
            crosstab(out, *m_statement.query, *m_statement.transform);
        else
            query(out, *m_statement.query);
        return out;
    }

private:
    // --- expressions

    void expr(QString &out, const Expr &e, Mode mode)
    {
        if (yieldsCondition(e)) {
            // In a value, a condition gives Access's -1 for True.
            out += mode == Mode::Value ? QStringView(u"(-(") : QStringView(u"(");
            condition(out, e);
            out += mode == Mode::Value ? QStringView(u"))") : QStringView(u")");
            return;
        }
        switch (e.kind) {
        case Expr::Kind::Number:
        case Expr::Kind::Boolean:
            out += e.value;
            return;
        case Expr::Kind::Text:
        case Expr::Kind::Date:
            appendText(out, e.value);
            return;
        case Expr::Kind::Null:
            out += u"NULL";
            return;
        case Expr::Kind::Column:
            appendNames(out, e.names, u".");
            return;
        case Expr::Kind::Star:
            for (QStringView part : e.names) {
                appendName(out, part);
                out += u'.';
            }
            out += u'*';
            return;
        case Expr::Kind::Parameter:
            parameter(out, e.parameter);
            return;
        case Expr::Kind::Unary:
            if (e.value == u"+") {
                expr(out, *e.args[0], Mode::Value);
            } else {
                out += u"(-";
                expr(out, *e.args[0], Mode::Value);
                out += u')';
            }
            return;
        case Expr::Kind::Binary:
            arithmetic(out, e);
            return;
        case Expr::Kind::Subquery:
            out += u'(';
            query(out, *e.query);
            out += u')';
            return;
        case Expr::Kind::Call:
            call(out, e);
            return;
        case Expr::Kind::Case:
            caseExpression(out, e);
            return;
        case Expr::Kind::Cast:
            out += u"CAST(";
            expr(out, *e.args[0], Mode::Value);
            out += QStringLiteral(" AS ") + e.value + u')';
            return;
        case Expr::Kind::Collate:
            out += u'(';
            expr(out, *e.args[0], Mode::Value);
            out += u" COLLATE ";
            appendName(out, e.op);
            out += u')';
            return;
        default:
            refuse(QStringLiteral("the expression %1").arg(e.source.toString()));
        }
    }

    // A truth value as SQLite reads it in WHERE: any number but 0 is true.
    void truth(QString &out, const Expr &e)
    {
        if (yieldsCondition(e)) {
            out += u'(';
            condition(out, e);
            out += u')';
        } else {
            out += u'(';
            expr(out, e, Mode::Value);
            out += u" <> 0)";
        }
    }

    // The left side of a text comparison, compared as Access compares text.
    void compared(QString &out, const Expr &left, const Expr &right)
    {
        expr(out, left, Mode::Value);
        if (left.kind != Expr::Kind::Collate && right.kind != Expr::Kind::Collate)
            out += collate;
    }

    void condition(QString &out, const Expr &e)
    {
        switch (e.kind) {
        case Expr::Kind::Like:
            expr(out, *e.args[0], Mode::Value);
            out += e.negated ? QStringView(u" NOT LIKE ") : QStringView(u" LIKE ");
            expr(out, *e.args[1], Mode::Value);
            if (e.args.size() > 2) {
                out += u" ESCAPE ";
                expr(out, *e.args[2], Mode::Value);
            }
            return;
        case Expr::Kind::Between:
            compared(out, *e.args[0], *e.args[1]);
            out += e.negated ? QStringView(u" NOT BETWEEN ") : QStringView(u" BETWEEN ");
            expr(out, *e.args[1], Mode::Value);
            out += u" AND ";
            expr(out, *e.args[2], Mode::Value);
            return;
        case Expr::Kind::In:
            compared(out, *e.args[0], *e.args[0]);
            out += e.negated ? QStringView(u" NOT IN (") : QStringView(u" IN (");
            if (e.query) {
                query(out, *e.query);
            } else {
                for (std::size_t i = 1; i < e.args.size(); ++i) {
                    if (i > 1)
                        out += u", ";
                    expr(out, *e.args[i], Mode::Value);
                }
            }
            out += u')';
            return;
        case Expr::Kind::IsNull:
            expr(out, *e.args[0], Mode::Value);
            out += e.negated ? QStringView(u" IS NOT NULL") : QStringView(u" IS NULL");
            return;
        case Expr::Kind::Is:
            expr(out, *e.args[0], Mode::Value);
            out += e.negated ? QStringView(u" IS NOT ") : QStringView(u" IS ");
            expr(out, *e.args[1], Mode::Value);
            return;
        case Expr::Kind::Exists:
            out += u"EXISTS (";
            query(out, *e.query);
            out += u')';
            return;
        case Expr::Kind::Unary:
            out += u"NOT ";
            expr(out, *e.args[0], Mode::Condition);
            return;
        default:
            break;
        }
        const QString &op = e.value;
        const Expr &left = *e.args[0];
        const Expr &right = *e.args[1];
        if (op == u"AND" || op == u"OR") {
            expr(out, left, Mode::Condition);
            out += u' ' + op + u' ';
            expr(out, right, Mode::Condition);
        } else if (op == u"XOR" || op == u"EQV") {
            truth(out, left);
            out += op == u"XOR" ? QStringView(u" <> ") : QStringView(u" = ");
            truth(out, right);
        } else if (op == u"IMP") {
            out += u"NOT ";
            truth(out, left);
            out += u" OR ";
            truth(out, right);
        } else if (op == u"GLOB" || op == u"NOT GLOB") {
            expr(out, left, Mode::Value);
            out += u' ' + op + u' ';
            expr(out, right, Mode::Value);
        } else {
            compared(out, left, right);
            out += u' ' + op + u' ';
            expr(out, right, Mode::Value);
        }
    }

    void helperCall(QString &out, QLatin1StringView function, const Expr &e)
    {
        out += function;
        out += u'(';
        expr(out, *e.args[0], Mode::Value);
        out += u", ";
        expr(out, *e.args[1], Mode::Value);
        out += u')';
    }

    void arithmetic(QString &out, const Expr &e)
    {
        const QString &op = e.value;
        const Expr &left = *e.args[0];
        const Expr &right = *e.args[1];
        if (op == u"&") {
            concatenation(out, e);
        } else if (op == u"||" || op == u"*") {
            out += u'(';
            expr(out, left, Mode::Value);
            out += u' ' + op + u' ';
            expr(out, right, Mode::Value);
            out += u')';
        } else if ((op == u"+" || op == u"-") && isNumberLiteral(left) && isNumberLiteral(right)) {
            out += u'(';
            expr(out, left, Mode::Value);
            out += u' ' + op + u' ';
            expr(out, right, Mode::Value);
            out += u')';
        } else if (op == u"+") {
            // Texts are joined, numbers added, dates moved by days.
            helperCall(out, QLatin1StringView("access_add"), e);
        } else if (op == u"-") {
            helperCall(out, QLatin1StringView("access_subtract"), e);
        } else if (op == u"/") {
            helperCall(out, QLatin1StringView("access_divide"), e);
        } else if (op == u"\\") {
            helperCall(out, QLatin1StringView("access_intdiv"), e);
        } else if (op == u"MOD") {
            helperCall(out, QLatin1StringView("access_mod"), e);
        } else if (op == u"^") {
            helperCall(out, QLatin1StringView("access_power"), e);
        } else {
            refuse(QStringLiteral("the operator %1").arg(op));
        }
    }

    // & treats Null as an empty text, yet Null & Null is Null. With a
    // literal in the chain the result is never Null: SQLite's || joins the
    // values as they are, and only where one is Null are they joined again
    // with Nulls as empty texts.
    void concatenation(QString &out, const Expr &e)
    {
        std::vector<const Expr *> operands;
        flattenConcatenation(&e, operands);
        const bool literal = std::any_of(operands.begin(), operands.end(), [](const Expr *o) { return isLiteral(*o); });
        if (!literal) {
            out += u"access_concat(";
            appendJoined(out, operands, u", ", [&](const Expr *o) { expr(out, *o, Mode::Value); });
            out += u')';
            return;
        }
        QString plain;
        QString nullsEmpty;
        for (std::size_t i = 0; i < operands.size(); ++i) {
            if (i > 0) {
                plain += u" || ";
                nullsEmpty += u" || ";
            }
            QString operand;
            expr(operand, *operands[i], Mode::Value);
            plain += operand;
            nullsEmpty += isLiteral(*operands[i]) ? operand : QStringLiteral("ifnull(%1, '')").arg(operand);
        }
        out += QStringLiteral("coalesce(%1, %2)").arg(plain, nullsEmpty);
    }

    void call(QString &out, const Expr &e)
    {
        // Quoted, since some names are SQLite's keywords (Left, IsNull).
        appendName(out, e.op);
        out += u'(';
        const bool pivoted = m_pivot && isAggregateCall(e);
        if (e.star) {
            if (pivoted)
                out += QStringLiteral("CASE WHEN ") + *m_pivot + QStringLiteral(" THEN 1 END");
            else
                out += u'*';
        }
        if (e.distinct)
            out += u"DISTINCT ";
        for (std::size_t i = 0; i < e.args.size(); ++i) {
            if (i > 0)
                out += u", ";
            if (pivoted && i == 0) {
                // Only the rows of this column's pivot value count.
                out += QStringLiteral("CASE WHEN ") + *m_pivot + QStringLiteral(" THEN ");
                expr(out, *e.args[i], Mode::Value);
                out += u" END";
            } else {
                expr(out, *e.args[i], Mode::Value);
            }
        }
        out += u')';
        if (e.window)
            window(out, e);
    }

    void window(QString &out, const Expr &e)
    {
        out += u" OVER (";
        for (std::size_t i = 0; i < e.partition.size(); ++i) {
            out += i == 0 ? QStringLiteral("PARTITION BY ") : QStringLiteral(", ");
            orderKey(out, *e.partition[i]);
        }
        for (std::size_t i = 0; i < e.windowOrder.size(); ++i) {
            if (i > 0)
                out += u", ";
            else
                out += e.partition.empty() ? QStringLiteral("ORDER BY ") : QStringLiteral(" ORDER BY ");
            orderKey(out, *e.windowOrder[i].first);
            if (e.windowOrder[i].second)
                out += u" DESC";
        }
        out += u')';
    }

    void caseExpression(QString &out, const Expr &e)
    {
        out += u"CASE";
        std::size_t i = 0;
        if (e.hasOperand) {
            out += u' ';
            expr(out, *e.args[0], Mode::Value);
            out += collate;
            i = 1;
        }
        const std::size_t whenEnd = e.args.size() - (e.hasElse ? 1 : 0);
        for (; i + 1 < whenEnd + 1 && i < whenEnd; i += 2) {
            out += u" WHEN ";
            expr(out, *e.args[i], e.hasOperand ? Mode::Value : Mode::Condition);
            out += u" THEN ";
            expr(out, *e.args[i + 1], Mode::Value);
        }
        if (e.hasElse) {
            out += u" ELSE ";
            expr(out, *e.args.back(), Mode::Value);
        }
        out += u" END";
    }

    void parameter(QString &out, int index)
    {
        const Parameter &p = m_statement.parameters[std::size_t(index)];
        const auto found = m_context.parameterValues.constFind(p.name.toLower());
        if (found == m_context.parameterValues.cend()) {
            out += u'?' + QString::number(index + 1);
            return;
        }
        value(out, *found);
    }

    void value(QString &out, const FieldValue &v)
    {
        switch (v.type()) {
        case FieldValue::Type::Null:
            out += u"NULL";
            return;
        case FieldValue::Type::Integer:
            out += QString::number(v.integer());
            return;
        case FieldValue::Type::Real:
            out += QString::number(v.real(), 'g', 17);
            return;
        case FieldValue::Type::Text:
            appendText(out, v.text());
            return;
        case FieldValue::Type::Binary:
            out += QStringLiteral("X'") + QString::fromLatin1(v.binary().toHex()) + u'\'';
            return;
        }
    }

    // --- queries

    void query(QString &out, const Query &q)
    {
        const bool top = q.parts.size() == 1 && q.parts.front()->top;
        if (!q.with.empty()) {
            out += q.recursive ? QStringView(u"WITH RECURSIVE ") : QStringView(u"WITH ");
            for (std::size_t i = 0; i < q.with.size(); ++i) {
                const CommonTable &table = q.with[i];
                if (i > 0)
                    out += u", ";
                appendName(out, table.name);
                if (!table.columns.empty()) {
                    out += u'(';
                    appendNames(out, table.columns, u", ");
                    out += u')';
                }
                out += u" AS (";
                query(out, *table.query);
                out += u')';
            }
            if (!top)
                out += u' ';
        }
        if (top) {
            this->top(out, q, !q.with.empty());
            return;
        }
        for (std::size_t i = 0; i < q.parts.size(); ++i) {
            if (i > 0)
                out += u' ' + q.operators[i - 1] + u' ';
            if (q.parts[i]->top)
                refuse(QStringLiteral("TOP in a part of a union"));
            select(out, *q.parts[i], {});
        }
        orderAndLimit(out, q);
    }

    void orderAndLimit(QString &out, const Query &q)
    {
        if (!q.orderBy.empty()) {
            out += u" ORDER BY ";
            appendJoined(out, q.orderBy, u", ", [&](const OrderTerm &key) {
                orderKey(out, *key.expr);
                if (key.descending)
                    out += u" DESC";
            });
        }
        limit(out, q);
    }

    void limit(QString &out, const Query &q)
    {
        if (q.limit) {
            out += u" LIMIT ";
            expr(out, *q.limit, Mode::Value);
            if (q.offset) {
                out += u" OFFSET ";
                expr(out, *q.offset, Mode::Value);
            }
        }
    }

    // Columns and positions keep their meaning; other keys sort text as
    // Access does.
    void orderKey(QString &out, const Expr &key)
    {
        expr(out, key, Mode::Value);
        if (key.kind != Expr::Kind::Column && key.kind != Expr::Kind::Number && key.kind != Expr::Kind::Collate)
            out += collate;
    }

    void orderKeys(QString &out, const std::vector<Expr *> &keys)
    {
        appendJoined(out, keys, u", ", [&](const Expr *key) { orderKey(out, *key); });
    }

    QString itemName(const SelectItem &item) const
    {
        if (!item.alias.isEmpty())
            return item.alias.toString();
        if (item.expr->kind == Expr::Kind::Column)
            return item.expr->names.back().toString();
        return item.expr->source.trimmed().toString();
    }

    void selectItems(QString &out, const Select &s)
    {
        for (std::size_t i = 0; i < s.items.size(); ++i) {
            if (i > 0)
                out += u", ";
            const SelectItem &item = s.items[i];
            expr(out, *item.expr, Mode::Value);
            // Unnamed expressions are named as typed, so that the grid's
            // headers read as the statement does.
            if (!item.alias.isEmpty() || (item.expr->kind != Expr::Kind::Column && item.expr->kind != Expr::Kind::Star)) {
                out += u" AS ";
                appendName(out, itemName(item));
            }
        }
    }

    void fromAndFilters(QString &out, const Select &s, const QString &extraCondition)
    {
        if (!s.from.empty()) {
            out += u" FROM ";
            appendJoined(out, s.from, u", ", [&](const Source *src) { source(out, *src); });
        }
        std::vector<const Expr *> rowConditions;
        std::vector<const Expr *> groupConditions;
        splitWhere(s, rowConditions, groupConditions);
        if (!rowConditions.empty() || !extraCondition.isEmpty()) {
            out += u" WHERE ";
            conjunction(out, rowConditions);
            if (!rowConditions.empty() && !extraCondition.isEmpty())
                out += u" AND ";
            out += extraCondition;
        }
        if (!s.groupBy.empty()) {
            out += u" GROUP BY ";
            orderKeys(out, s.groupBy);
        }
        if (s.having)
            groupConditions.insert(groupConditions.begin(), s.having);
        if (!groupConditions.empty()) {
            out += u" HAVING ";
            conjunction(out, groupConditions);
        }
    }

    // A crosstab may keep a condition on a row total among its WHERE
    // criteria, meaning one on the rows' groups: SQLite wants it in HAVING.
    // Elsewhere an aggregate in WHERE stays an error, as in Access.
    // Sub-selects keep their own aggregates.
    static void splitWhere(const Select &s, std::vector<const Expr *> &rows, std::vector<const Expr *> &groups)
    {
        if (!s.where)
            return;
        if (!s.crosstab || s.groupBy.empty()) {
            rows.push_back(s.where);
            return;
        }
        std::vector<const Expr *> pending{s.where};
        while (!pending.empty()) {
            const Expr *e = pending.back();
            pending.pop_back();
            if (e->kind == Expr::Kind::Binary && e->value == u"AND") {
                pending.push_back(e->args[1]);
                pending.push_back(e->args[0]);
            } else {
                (containsAggregate(e) ? groups : rows).push_back(e);
            }
        }
    }

    void conjunction(QString &out, const std::vector<const Expr *> &conditions)
    {
        appendJoined(out, conditions, u" AND ", [&](const Expr *c) { expr(out, *c, Mode::Condition); });
    }

    void select(QString &out, const Select &s, const QString &extraColumns)
    {
        out += s.distinct ? QStringView(u"SELECT DISTINCT ") : QStringView(u"SELECT ");
        selectItems(out, s);
        out += extraColumns;
        fromAndFilters(out, s, {});
    }

    void source(QString &out, const Source &src)
    {
        switch (src.kind) {
        case Source::Kind::Table:
            appendNames(out, src.names, u".");
            break;
        case Source::Kind::Derived:
            out += u'(';
            query(out, *src.query);
            out += u')';
            break;
        case Source::Kind::Join:
            if (src.parenthesised)
                out += u'(';
            source(out, *src.left);
            out += u' ' + src.joinType + u' ';
            source(out, *src.right);
            if (src.on) {
                out += u" ON ";
                expr(out, *src.on, Mode::Condition);
            }
            if (!src.usingColumns.empty()) {
                out += u" USING (";
                appendNames(out, src.usingColumns, u", ");
                out += u')';
            }
            if (src.parenthesised)
                out += u')';
            return;
        }
        if (!src.alias.isEmpty()) {
            out += u" AS ";
            appendName(out, src.alias);
        }
    }

    // --- TOP

    // TOP n keeps the rows that rank at most n in the order asked for, ties
    // at the cut included; TOP n PERCENT the first n percent of the rows,
    // rounded up. SQLite first sorts for n + 1 rows, as fast as its own
    // ORDER BY ... LIMIT; only when the last of them ties with the n-th are
    // all rows ranked again. PERCENT ranks all rows, as it needs their count.
    void top(QString &out, const Query &q, bool withOpen)
    {
        const Select &s = *q.parts.front();
        const QString n = s.top->value;
        if (q.limit)
            refuse(QStringLiteral("TOP together with LIMIT"));
        if (q.orderBy.empty() && !s.percent) {
            if (withOpen)
                out += u' ';
            select(out, s, {});
            out += QStringLiteral(" LIMIT ") + n;
            return;
        }
        const std::vector<Column> columns = outputColumns(s);
        QStringList keys;   // as the inner select orders by them
        QStringList ranked; // as the ranking refers to them
        QStringList keyColumns;
        for (std::size_t i = 0; i < q.orderBy.size(); ++i) {
            const OrderTerm &term = q.orderBy[i];
            const QString direction = term.descending ? QStringLiteral(" DESC") : QString();
            const Key key = orderKeyOf(*term.expr, columns, s.distinct);
            keys << key.sql + direction;
            if (key.output) {
                ranked << key.sql + direction;
            } else {
                ranked << QStringLiteral("\"__k%1\"").arg(i + 1) + direction;
                keyColumns << QStringLiteral(", %1 AS \"__k%2\"").arg(key.sql).arg(i + 1);
            }
        }
        const QString rank = ranked.isEmpty() ? QStringLiteral("row_number() OVER ()")
                                              : QStringLiteral("rank() OVER (ORDER BY %1)").arg(ranked.join(u", "));
        const auto inner = [&](const QString &condition) {
            QString sql = s.distinct ? QStringLiteral("SELECT DISTINCT ") : QStringLiteral("SELECT ");
            renamedColumns(sql, columns);
            sql += keyColumns.join(QString());
            fromAndFilters(sql, s, condition);
            return sql;
        };
        QString names;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            names += QStringLiteral("%1\"__c%2\" AS ").arg(i > 0 ? QStringLiteral(", ") : QString()).arg(i + 1);
            appendName(names, columns[i].name);
        }
        if (s.percent) {
            if (withOpen)
                out += u' ';
            out += QStringLiteral("SELECT ") + names + QStringLiteral(" FROM (SELECT *, ") + rank
                + QStringLiteral(" AS \"__rank\", count(*) OVER () AS \"__count\" FROM (");
            out += inner({});
            out += QStringLiteral(")) WHERE (\"__rank\" - 1) * 100 < ") + n
                + QStringLiteral(" * \"__count\" ORDER BY \"__rank\"");
            return;
        }
        out += withOpen ? QStringLiteral(", ") : QStringLiteral("WITH ");
        out += QStringLiteral("\"__top\" AS MATERIALIZED (SELECT *, ") + rank + QStringLiteral(" AS \"__rank\" FROM (");
        out += inner({});
        out += QStringLiteral(" ORDER BY ") + keys.join(u", ") + QStringLiteral(" LIMIT ") + n
            + QStringLiteral(" + 1)), \"__cut\" AS MATERIALIZED (SELECT count(*) > ") + n
            + QStringLiteral(" AND max(\"__rank\") <= ") + n + QStringLiteral(" AS \"__more\" FROM \"__top\") ");
        out += QStringLiteral("SELECT ") + names + QStringLiteral(" FROM (SELECT * FROM \"__top\" WHERE \"__rank\" <= ") + n
            + QStringLiteral(" AND NOT (SELECT \"__more\" FROM \"__cut\") UNION ALL SELECT * FROM (SELECT *, ") + rank
            + QStringLiteral(" AS \"__rank\" FROM (");
        // As a limit of 0 the condition is read before the scan starts, so
        // that no table is even opened when there is no tie.
        out += inner({});
        out += QStringLiteral(" LIMIT CASE WHEN (SELECT \"__more\" FROM \"__cut\") THEN -1 ELSE 0 END");
        out += QStringLiteral(")) WHERE \"__rank\" <= ") + n + QStringLiteral(") ORDER BY \"__rank\"");
    }

    void renamedColumns(QString &out, const std::vector<Column> &columns)
    {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0)
                out += u", ";
            out += columns[i].sql + QStringLiteral(" AS \"__c%1\"").arg(i + 1);
        }
    }

    // A key of ORDER BY in the ranking: a position, an output name or an
    // output column's own expression stands for that column ("__cN").
    struct Key
    {
        QString sql;
        bool output = false;
    };

    Key orderKeyOf(const Expr &key, const std::vector<Column> &columns, bool distinct)
    {
        int index = -1;
        if (key.kind == Expr::Kind::Number) {
            index = key.value.toInt() - 1;
            if (index < 0 || std::size_t(index) >= columns.size())
                refuse(QStringLiteral("ORDER BY %1 (there is no such column)").arg(key.value));
        }
        for (std::size_t i = 0; i < columns.size() && index < 0; ++i) {
            const Column &c = columns[i];
            const bool named = key.kind == Expr::Kind::Column && key.names.size() == 1
                && ((!c.alias.isEmpty() && isWord(c.alias, key.names.front()))
                    || (c.fromStar && c.qualifier.isEmpty() && isWord(c.name, key.names.front())));
            const bool qualified = key.kind == Expr::Kind::Column && key.names.size() == 2 && c.fromStar
                && isWord(c.qualifier, key.names[0]) && isWord(c.name, key.names[1]);
            const bool same = !c.source.isEmpty() && c.source.trimmed() == key.source.trimmed();
            if (named || qualified || same)
                index = int(i);
        }
        if (index >= 0)
            return {QStringLiteral("\"__c%1\"").arg(index + 1), true};
        if (distinct)
            refuse(QStringLiteral("TOP with DISTINCT ordered by %1, which it does not select").arg(key.source.toString()));
        Key k;
        expr(k.sql, key, Mode::Value);
        if (key.kind != Expr::Kind::Column && key.kind != Expr::Kind::Collate)
            k.sql += collate;
        return k;
    }

    // The select's columns one by one, * spelled out: the wrapper around a
    // TOP must name them.
    std::vector<Column> outputColumns(const Select &s)
    {
        std::vector<Column> columns;
        for (const SelectItem &item : s.items) {
            if (item.expr->kind != Expr::Kind::Star) {
                Column c;
                expr(c.sql, *item.expr, Mode::Value);
                c.name = itemName(item);
                c.alias = item.alias;
                c.source = item.expr->source;
                columns.push_back(std::move(c));
                continue;
            }
            for (const auto &[qualifier, name] : starColumns(s, *item.expr)) {
                Column c;
                if (!qualifier.isEmpty())
                    c.sql = SqlText::quotedName(qualifier) + u'.';
                c.sql += SqlText::quotedName(name);
                c.name = name;
                c.fromStar = true;
                c.qualifier = qualifier;
                columns.push_back(std::move(c));
            }
        }
        return columns;
    }

    // The names behind * or t.*, asked of the database; * over several
    // sources is spelled out source by source.
    std::vector<std::pair<QString, QString>> starColumns(const Select &s, const Expr &star)
    {
        if (!m_context.runSelect)
            refuse(QStringLiteral("TOP with * here (name the columns)"));
        QString from;
        Select sources;
        sources.from = s.from;
        fromAndFilters(from, sources, {});
        std::vector<std::pair<QString, QString>> columns;
        QStringList qualifiers;
        if (!star.names.empty())
            qualifiers << star.names.back().toString();
        else if (s.from.size() == 1 && s.from.front()->kind != Source::Kind::Join)
            qualifiers << QString();
        else
            for (const Source *src : s.from)
                collectQualifiers(*src, qualifiers);
        if (qualifiers.isEmpty())
            refuse(QStringLiteral("TOP with * but no table"));
        for (const QString &qualifier : qualifiers) {
            const QString sql = QStringLiteral("SELECT ") + (qualifier.isEmpty() ? QString() : SqlText::quotedName(qualifier) + u'.') + u'*'
                + from + QStringLiteral(" LIMIT 0");
            for (const QString &name : m_context.runSelect(sql).columns)
                columns.emplace_back(qualifier, name);
        }
        return columns;
    }

    static void collectQualifiers(const Source &src, QStringList &qualifiers)
    {
        switch (src.kind) {
        case Source::Kind::Join:
            collectQualifiers(*src.left, qualifiers);
            collectQualifiers(*src.right, qualifiers);
            return;
        case Source::Kind::Table:
            qualifiers << (src.alias.isEmpty() ? src.names.back() : src.alias).toString();
            return;
        case Source::Kind::Derived:
            if (src.alias.isEmpty())
                refuse(QStringLiteral("TOP with * over a sub-select without a name"));
            qualifiers << src.alias.toString();
            return;
        }
    }

    // --- TRANSFORM

    // One column per pivot value: the value expression with each aggregate
    // counting only the rows of that value, beside the row headings.
    void crosstab(QString &out, const Query &q, const Transform &t)
    {
        const Select &s = *q.parts.front();
        if (s.top)
            refuse(QStringLiteral("TOP in a crosstab"));
        if (s.groupBy.empty())
            refuse(QStringLiteral("a crosstab without GROUP BY"));
        QString pivot;
        expr(pivot, *t.pivot, Mode::Value);
        std::vector<std::pair<QString, QString>> headings; // condition, name
        if (t.hasValues) {
            for (const Expr *v : t.pivotValues) {
                QString literal;
                expr(literal, *v, Mode::Value);
                const QString name = v->kind == Expr::Kind::Text || v->kind == Expr::Kind::Date ? v->value
                                                                                                : v->source.toString();
                headings.emplace_back(pivot + collate + QStringLiteral(" = ") + literal, name);
            }
        } else {
            if (!m_context.runSelect)
                refuse(QStringLiteral("a crosstab without PIVOT ... IN (...) here"));
            QString distinct = QStringLiteral("SELECT DISTINCT ") + pivot + QStringLiteral(" AS \"pivot\"");
            // The rows' own conditions choose the headings; those on groups
            // do not.
            Select sources;
            sources.from = s.from;
            fromAndFilters(distinct, sources, {});
            std::vector<const Expr *> rowConditions;
            std::vector<const Expr *> groupConditions;
            splitWhere(s, rowConditions, groupConditions);
            if (!rowConditions.empty()) {
                distinct += u" WHERE ";
                conjunction(distinct, rowConditions);
            }
            distinct += u" ORDER BY 1";
            for (const QList<FieldValue> &row : m_context.runSelect(distinct).rows) {
                const FieldValue v = row.value(0);
                if (v.isNull()) {
                    headings.emplace_back(pivot + QStringLiteral(" IS NULL"), QStringLiteral("<>"));
                    continue;
                }
                QString literal;
                value(literal, v);
                const QString name = v.type() == FieldValue::Type::Text ? v.text() : literal;
                headings.emplace_back(pivot + collate + QStringLiteral(" = ") + literal, name);
            }
        }
        out += u"SELECT ";
        selectItems(out, s);
        for (const auto &[condition, name] : headings) {
            out += u", ";
            m_pivot = &condition;
            expr(out, *t.value, Mode::Value);
            m_pivot = nullptr;
            out += u" AS ";
            appendName(out, name);
        }
        fromAndFilters(out, s, {});
        if (q.orderBy.empty()) {
            // Access lists a crosstab's rows in the order of their headings.
            out += u" ORDER BY ";
            orderKeys(out, s.groupBy);
            limit(out, q);
        } else {
            orderAndLimit(out, q);
        }
    }

    const Statement &m_statement;
    const AccessSqlContext &m_context;
    const QString *m_pivot = nullptr;
    qsizetype m_sourceSize;
};

} // namespace

AccessSqlTranslation AccessSqlTranslator::translate(QStringView accessSql, const AccessSqlContext &context)
{
    AccessSqlParser parser(accessSql, context.parameterNames);
    const Statement &statement = parser.parse();
    AccessSqlTranslation translation;
    translation.sql = Printer(statement, context, accessSql.size()).statement();
    for (const Parameter &p : statement.parameters)
        translation.parameters.append({p.name, p.type});
    return translation;
}

} // namespace morvane

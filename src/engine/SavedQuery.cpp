#include "SavedQuery.h"

#include "Failure.h"

#include <QRegularExpression>

#include <algorithm>
#include <memory>

namespace morvane {

namespace {

const QString newline = QStringLiteral("\r\n");

// What each row of MSysQueries describes.
namespace attribute {
constexpr int type = 1;
constexpr int parameter = 2;
constexpr int flags = 3;
constexpr int remoteDatabase = 4;
constexpr int table = 5;
constexpr int column = 6;
constexpr int join = 7;
constexpr int where = 8;
constexpr int groupBy = 9;
constexpr int having = 10;
constexpr int orderBy = 11;
} // namespace attribute

// Bits of the flags row.
constexpr int selectStar = 0x01;
constexpr int distinct = 0x02;
constexpr int ownerAccess = 0x04;
constexpr int distinctRow = 0x08;
constexpr int top = 0x10;
constexpr int percent = 0x20;
// The union row's flag: set for UNION, clear for UNION ALL.
constexpr int unionDistinct = 0x02;
// Bits of a crosstab's column and group rows; a column row with neither is
// the TRANSFORM value.
constexpr int crosstabPivot = 0x01;
constexpr int crosstabRowHeading = 0x02;
// An append query's VALUES rows.
constexpr int appendValue = 0x8000;

const QString unionPart1 = QStringLiteral("X7YZ_____1");
const QString unionPart2 = QStringLiteral("X7YZ_____2");

// The kinds in the order of the numbers of the type row (1 to 9), with the
// kind bits of MSysObjects' Flags for each.
struct KindCodes
{
    SavedQuery::Kind kind;
    int objectBits;
};
constexpr KindCodes kindCodes[] = {
    {SavedQuery::Kind::Select, 0x00},         {SavedQuery::Kind::MakeTable, 0x50},
    {SavedQuery::Kind::Append, 0x40},         {SavedQuery::Kind::Update, 0x30},
    {SavedQuery::Kind::Delete, 0x20},         {SavedQuery::Kind::Crosstab, 0x10},
    {SavedQuery::Kind::DataDefinition, 0x60}, {SavedQuery::Kind::PassThrough, 0x70},
    {SavedQuery::Kind::Union, 0x80},
};
constexpr int objectKindMask = 0xf0;

QString parameterType(int code)
{
    switch (code) {
    case 0: return QStringLiteral("Value");
    case 1: return QStringLiteral("Bit");
    case 2: return QStringLiteral("Byte");
    case 3: return QStringLiteral("Short");
    case 4: return QStringLiteral("Long");
    case 5: return QStringLiteral("Currency");
    case 6: return QStringLiteral("IEEESingle");
    case 7: return QStringLiteral("IEEEDouble");
    case 8: return QStringLiteral("DateTime");
    case 9: return QStringLiteral("Binary");
    case 10: return QStringLiteral("Text");
    case 11: return QStringLiteral("LongBinary");
    case 15: return QStringLiteral("Guid");
    default: return {};
    }
}

QString joinType(int code)
{
    switch (code) {
    case 1: return QStringLiteral(" INNER JOIN ");
    case 2: return QStringLiteral(" LEFT JOIN ");
    case 3: return QStringLiteral(" RIGHT JOIN ");
    default: return {};
    }
}

bool hasFlag(const SavedQuery::Row &row, int mask)
{
    return (row.flag.value_or(0) & mask) != 0;
}

bool isBracketed(const QString &text)
{
    return text.size() >= 2 && text.front() == u'[' && text.back() == u']';
}

QString bracketed(const QString &text)
{
    return isBracketed(text) ? text : u'[' + text + u']';
}

// Access brackets a name only when it holds more than ASCII letters, digits
// and underscores.
bool needsBrackets(QStringView name)
{
    return std::any_of(name.begin(), name.end(), [](QChar c) {
        return !(c.unicode() < 128 && (c.isLetterOrNumber() || c == u'_'));
    });
}

QString quotedIfNeeded(const QString &name)
{
    return needsBrackets(name) ? bracketed(name) : name;
}

// A dotted name (table.column) is bracketed part by part.
QString quotedIdentifier(const QString &name)
{
    QStringList parts = name.split(u'.');
    for (QString &part : parts)
        part = quotedIfNeeded(part);
    return parts.join(u'.');
}

QString withAlias(QString text, const QString &alias)
{
    if (!alias.isNull())
        text += QStringLiteral(" AS ") + quotedIfNeeded(alias);
    return text;
}

// A table, or tables joined, in the FROM clause.
struct Source
{
    QString key;
    QString text;
    std::shared_ptr<Source> left;
    std::shared_ptr<Source> right;
    int joinCode = 0;
    QStringList conditions;

    [[nodiscard]] bool isJoin() const { return left != nullptr; }

    [[nodiscard]] bool contains(const QString &table) const
    {
        if (isJoin())
            return left->contains(table) || right->contains(table);
        return key.compare(table, Qt::CaseInsensitive) == 0;
    }

    [[nodiscard]] QString toText(bool topLevel) const
    {
        if (!isJoin())
            return text;
        const QString type = joinType(joinCode);
        if (type.isEmpty())
            throw Failure(QStringLiteral("it joins its tables in a way this program does not know (%1).").arg(joinCode));
        QString on = conditions.join(QStringLiteral(") AND ("));
        if (conditions.size() > 1)
            on = u'(' + on + u')';
        const QString joined = left->toText(false) + type + right->toText(false) + QStringLiteral(" ON ") + on;
        return topLevel ? joined : u'(' + joined + u')';
    }
};

std::shared_ptr<Source> simpleSource(const QString &key, const QString &text)
{
    auto source = std::make_shared<Source>();
    source->key = key;
    source->text = text;
    return source;
}

} // namespace

// Puts the text together from the rows, clause by clause.
class SavedQuery::Builder
{
public:
    Builder(const SavedQuery &query, Form form) : m_query(query), m_form(form) {}

    QString text() const
    {
        const Kind kind = m_query.kind();
        if (kind == Kind::DataDefinition || kind == Kind::PassThrough)
            return withoutTrailingNul(typeRow().expression);
        QString text = parametersClause();
        text += body();
        if (hasFlag(flagRow(), ownerAccess))
            text += newline + QStringLiteral("WITH OWNERACCESS OPTION");
        return text + u';';
    }

private:
    static QString withoutTrailingNul(QString text)
    {
        while (text.endsWith(QChar(0)))
            text.chop(1);
        return text;
    }

    std::vector<const Row *> rows(int attribute) const
    {
        std::vector<const Row *> found;
        for (const Row &row : m_query.m_rows) {
            if (row.attribute == attribute)
                found.push_back(&row);
        }
        return found;
    }

    template<typename Keep>
    std::vector<const Row *> rows(int attribute, Keep keep) const
    {
        std::vector<const Row *> found = rows(attribute);
        found.erase(std::remove_if(found.begin(), found.end(), [&](const Row *row) { return !keep(*row); }),
                    found.end());
        return found;
    }

    static const Row &unique(const std::vector<const Row *> &found)
    {
        static const Row none;
        if (found.size() > 1)
            throw Failure(QStringLiteral("its description holds a clause twice."));
        return found.empty() ? none : *found.front();
    }

    const Row &typeRow() const { return unique(rows(attribute::type)); }
    const Row &flagRow() const { return unique(rows(attribute::flags)); }

    QString parametersClause() const
    {
        QStringList declared;
        for (const Parameter &parameter : m_query.parameters())
            declared << parameter.name + u' ' + parameter.type;
        if (declared.isEmpty())
            return {};
        return QStringLiteral("PARAMETERS ") + declared.join(QStringLiteral(", ")) + u';' + newline;
    }

    QString body() const
    {
        switch (m_query.kind()) {
        case Kind::Select:
        case Kind::MakeTable:
            return select(true);
        case Kind::Append:
            return append();
        case Kind::Update:
            return update();
        case Kind::Delete:
            return QStringLiteral("DELETE ") + select(false);
        case Kind::Crosstab:
            return crosstab();
        case Kind::Union:
            return unionText();
        case Kind::DataDefinition:
        case Kind::PassThrough:
            break;
        }
        return {};
    }

    // The columns of the SELECT clause; of a crosstab the row headings, of an
    // append query those that are not VALUES.
    std::vector<const Row *> columnRows() const
    {
        switch (m_query.kind()) {
        case Kind::Crosstab:
            return rows(attribute::column, [](const Row &row) { return hasFlag(row, crosstabRowHeading); });
        case Kind::Append:
            return rows(attribute::column, [](const Row &row) { return !hasFlag(row, appendValue); });
        default:
            return rows(attribute::column);
        }
    }

    std::vector<const Row *> groupRows() const
    {
        if (m_query.kind() == Kind::Crosstab)
            return rows(attribute::groupBy, [](const Row &row) { return hasFlag(row, crosstabRowHeading); });
        return rows(attribute::groupBy);
    }

    QString selectType() const
    {
        const Row &flags = flagRow();
        if (hasFlag(flags, distinct))
            return QStringLiteral("DISTINCT ");
        if (hasFlag(flags, distinctRow))
            return QStringLiteral("DISTINCTROW ");
        if (hasFlag(flags, top))
            return QStringLiteral("TOP ") + flags.name1 + (hasFlag(flags, percent) ? QStringLiteral(" PERCENT ") : QStringLiteral(" "));
        return {};
    }

    QString selectColumns() const
    {
        QStringList columns;
        for (const Row *row : columnRows())
            columns << withAlias(row->expression, row->name1);
        if (hasFlag(flagRow(), selectStar))
            columns << QStringLiteral("*");
        return columns.join(QStringLiteral(", "));
    }

    static QString inOtherDatabase(const QString &path, const QString &type)
    {
        if (path.isNull() && type.isNull())
            return {};
        QString text = QStringLiteral(" IN '") + path + u'\'';
        if (!type.isNull())
            text += QStringLiteral(" [") + type + u']';
        return text;
    }

    QString into() const
    {
        if (m_query.kind() != Kind::MakeTable)
            return {};
        const Row &type = typeRow();
        return QStringLiteral(" INTO ") + quotedIdentifier(type.name1) + inOtherDatabase(type.name2, type.expression);
    }

    QString fromTables() const
    {
        std::vector<std::shared_ptr<Source>> sources;
        for (const Row *table : rows(attribute::table)) {
            QString text;
            if (!table->expression.isNull() && table->name1.isNull() && m_form == Form::Runnable)
                text = u'(' + table->expression + u')';
            else if (!table->expression.isNull())
                text = bracketed(table->expression) + u'.';
            if (!table->name1.isNull())
                text += quotedIdentifier(table->name1);
            text = withAlias(text, table->name2);
            sources.push_back(simpleSource(table->name2.isNull() ? table->name1 : table->name2, text));
        }
        for (const Row *join : rows(attribute::join))
            addJoin(sources, *join);
        QStringList texts;
        for (const auto &source : sources)
            texts << source->toText(true);
        return texts.join(QStringLiteral(", "));
    }

    // A join takes the sources that hold its two tables out of the list and
    // puts the joined pair back; a second join between the same two adds its
    // condition to the first.
    static void addJoin(std::vector<std::shared_ptr<Source>> &sources, const Row &join)
    {
        std::shared_ptr<Source> from;
        std::shared_ptr<Source> to;
        for (auto it = sources.begin(); it != sources.end() && (!from || !to);) {
            if (!from && (*it)->contains(join.name1)) {
                from = *it;
                if (!to && from->contains(join.name2)) {
                    to = from;
                    break;
                }
                it = sources.erase(it);
            } else if (!to && (*it)->contains(join.name2)) {
                to = *it;
                it = sources.erase(it);
            } else {
                ++it;
            }
        }
        if (!from)
            from = simpleSource(join.name1, quotedIdentifier(join.name1));
        if (!to)
            to = simpleSource(join.name2, quotedIdentifier(join.name2));
        if (from == to) {
            if (!from->isJoin() || from->joinCode != join.flag.value_or(0))
                throw Failure(QStringLiteral("it joins %1 and %2 in two different ways.").arg(join.name1, join.name2));
            from->conditions.append(join.expression);
            return;
        }
        auto joined = std::make_shared<Source>();
        joined->left = from;
        joined->right = to;
        joined->joinCode = join.flag.value_or(0);
        joined->conditions << join.expression;
        sources.push_back(joined);
    }

    QString clauses() const
    {
        QString text;
        const QString tables = fromTables();
        if (!tables.isEmpty())
            text += newline + QStringLiteral("FROM ") + tables + remoteDatabase();
        text += whereClause();
        QStringList groups;
        for (const Row *row : groupRows())
            groups << row->expression;
        if (!groups.isEmpty())
            text += newline + QStringLiteral("GROUP BY ") + groups.join(QStringLiteral(", "));
        const Row &having = unique(rows(attribute::having));
        if (!having.expression.isNull())
            text += newline + QStringLiteral("HAVING ") + having.expression;
        return text + orderBy();
    }

    // The database the tables are in, when not this file.
    QString remoteDatabase() const
    {
        const Row &remote = unique(rows(attribute::remoteDatabase));
        return inOtherDatabase(remote.name1, remote.expression);
    }

    QString whereClause() const
    {
        const Row &where = unique(rows(attribute::where));
        return where.expression.isNull() ? QString() : newline + QStringLiteral("WHERE ") + where.expression;
    }

    QString orderBy() const
    {
        QStringList order;
        for (const Row *row : rows(attribute::orderBy)) {
            const bool descending = row->name1.compare(QStringLiteral("D"), Qt::CaseInsensitive) == 0;
            order << row->expression + (descending ? QStringLiteral(" DESC") : QString());
        }
        return order.isEmpty() ? QString() : newline + QStringLiteral("ORDER BY ") + order.join(QStringLiteral(", "));
    }

    QString select(bool withKeyword) const
    {
        QString text = withKeyword ? QStringLiteral("SELECT ") + selectType() : QString();
        return text + selectColumns() + into() + clauses();
    }

    QString append() const
    {
        const Row &type = typeRow();
        QString text = QStringLiteral("INSERT INTO ") + quotedIdentifier(type.name1)
            + inOtherDatabase(type.name2, type.expression) + newline;
        QStringList values;
        for (const Row *row : rows(attribute::column, [](const Row &row) { return hasFlag(row, appendValue); }))
            values << row->expression;
        if (!values.isEmpty())
            return text + QStringLiteral("VALUES (") + values.join(QStringLiteral(", ")) + u')';
        return text + select(true);
    }

    QString update() const
    {
        QStringList assignments;
        for (const Row *row : rows(attribute::column))
            assignments << quotedIdentifier(row->name2) + QStringLiteral(" = ") + row->expression;
        return QStringLiteral("UPDATE ") + fromTables() + remoteDatabase() + newline + QStringLiteral("SET ")
            + assignments.join(QStringLiteral(", ")) + whereClause();
    }

    QString crosstab() const
    {
        const Row &value = unique(rows(attribute::column, [](const Row &row) {
            return !hasFlag(row, crosstabPivot | crosstabRowHeading);
        }));
        const Row &pivot = unique(rows(attribute::column, [](const Row &row) { return hasFlag(row, crosstabPivot); }));
        QString text;
        if (!value.expression.isNull())
            text = QStringLiteral("TRANSFORM ") + withAlias(value.expression, value.name1) + newline;
        return text + select(true) + newline + QStringLiteral("PIVOT ") + pivot.expression;
    }

    // Each part is stored whole, as typed; its line breaks are made Access's.
    QString unionPart(const QString &id) const
    {
        for (const Row *row : rows(attribute::table)) {
            if (row->name2 == id) {
                QString part = row->expression.trimmed();
                part.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
                static const QRegularExpression breaks(QStringLiteral("\n+"));
                return part.replace(breaks, newline);
            }
        }
        throw Failure(QStringLiteral("a part of the union is missing."));
    }

    QString unionText() const
    {
        const bool all = !hasFlag(flagRow(), unionDistinct);
        return unionPart(unionPart1) + newline + QStringLiteral("UNION ") + (all ? QStringLiteral("ALL ") : QString())
            + unionPart(unionPart2) + orderBy();
    }

    const SavedQuery &m_query;
    Form m_form;
};

SavedQuery::SavedQuery(QString name, int objectFlags, std::vector<Row> rows)
    : m_name(std::move(name)), m_rows(std::move(rows))
{
    // The kind bits of the object's flags say what it is; where they say
    // "select", the type row may know better.
    const int kindBits = objectFlags & objectKindMask;
    const KindCodes *found = std::find_if(std::begin(kindCodes), std::end(kindCodes),
                                          [kindBits](const KindCodes &codes) { return codes.objectBits == kindBits; });
    if (found == std::end(kindCodes))
        throw Failure(QStringLiteral("The saved query '%1' is of a kind this program does not know (%2).")
                          .arg(m_name)
                          .arg(kindBits));
    m_kind = found->kind;
    if (kindBits != 0)
        return;
    for (const Row &row : m_rows) {
        if (row.attribute == attribute::type) {
            const int number = row.flag.value_or(1);
            if (number >= 1 && number <= int(std::size(kindCodes)))
                m_kind = kindCodes[number - 1].kind;
            return;
        }
    }
}

QString SavedQuery::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Select: return QStringLiteral("select");
    case Kind::MakeTable: return QStringLiteral("make-table");
    case Kind::Append: return QStringLiteral("append");
    case Kind::Update: return QStringLiteral("update");
    case Kind::Delete: return QStringLiteral("delete");
    case Kind::Crosstab: return QStringLiteral("crosstab");
    case Kind::DataDefinition: return QStringLiteral("data definition");
    case Kind::PassThrough: return QStringLiteral("pass-through");
    case Kind::Union: return QStringLiteral("union");
    }
    return {};
}

bool SavedQuery::onlyReads() const
{
    return m_kind == Kind::Select || m_kind == Kind::Union || m_kind == Kind::Crosstab;
}

QString SavedQuery::text() const
{
    return build(Form::AsShown);
}

QString SavedQuery::runnableText() const
{
    return build(Form::Runnable);
}

QString SavedQuery::build(Form form) const
{
    try {
        return Builder(*this, form).text();
    } catch (const Failure &error) {
        throw Failure(QStringLiteral("The text of the saved query '%1' cannot be rebuilt: %2")
                          .arg(m_name, error.description()));
    }
}

std::vector<SavedQuery::Parameter> SavedQuery::parameters() const
{
    std::vector<Parameter> found;
    for (const Row &row : m_rows) {
        if (row.attribute != attribute::parameter)
            continue;
        const int code = row.flag.value_or(0);
        QString type = parameterType(code);
        if (type.isEmpty())
            throw Failure(QStringLiteral("The parameter '%1' of the saved query '%2' has a type this program does "
                                         "not know (%3).")
                              .arg(row.name1, m_name)
                              .arg(code));
        if (code == 10 && row.extra.value_or(0) > 0)
            type += QStringLiteral("(%1)").arg(*row.extra);
        found.push_back({row.name1, type});
    }
    return found;
}

QString SavedQuery::connection() const
{
    for (const Row &row : m_rows) {
        if (row.attribute == attribute::type)
            return row.name1;
    }
    return {};
}

} // namespace morvane

#include "AccessCatalog.h"

#include "Failure.h"
#include "SqliteConnection.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <map>

namespace morvane {

namespace {

constexpr int queryType = 5;
constexpr int accessLinkType = 6;
constexpr int odbcLinkType = 4;

QString textOf(const FieldValue &value)
{
    return value.type() == FieldValue::Type::Text ? value.text() : QString();
}

std::optional<int> numberOf(const FieldValue &value)
{
    switch (value.type()) {
    case FieldValue::Type::Integer:
        return int(value.integer());
    case FieldValue::Type::Real:
        return int(value.real());
    case FieldValue::Type::Text: {
        bool ok = false;
        const int number = value.text().toInt(&ok);
        return ok ? std::optional<int>(number) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

// Each query's rows of MSysQueries, in stored order, by the query's id.
std::map<qint64, std::vector<SavedQuery::Row>> queryRows(SqliteConnection &connection)
{
    std::map<qint64, std::vector<SavedQuery::Row>> rows;
    // Jet 3 files have no LvExtra; every column is looked up by name.
    auto result = connection.openRecordset(QStringLiteral("select * from MSysQueries"));
    const auto field = [&result](const char *name) { return result->fieldIndex(QString::fromLatin1(name)); };
    const int id = field("ObjectId");
    const int attribute = field("Attribute");
    const int expression = field("Expression");
    const int flag = field("Flag");
    const int extra = field("LvExtra");
    const int name1 = field("Name1");
    const int name2 = field("Name2");
    if (id < 0 || attribute < 0)
        throw Failure(QStringLiteral("The system table MSysQueries lacks the columns ObjectId and Attribute."));
    const auto valueAt = [&result](int index) { return index < 0 ? FieldValue() : result->value(index); };
    for (; !result->eof(); result->moveNext()) {
        SavedQuery::Row row;
        row.attribute = numberOf(valueAt(attribute)).value_or(-1);
        row.expression = textOf(valueAt(expression));
        row.flag = numberOf(valueAt(flag));
        row.extra = numberOf(valueAt(extra));
        row.name1 = textOf(valueAt(name1));
        row.name2 = textOf(valueAt(name2));
        rows[numberOf(valueAt(id)).value_or(0)].push_back(std::move(row));
    }
    return rows;
}

} // namespace

AccessCatalog AccessCatalog::read(SqliteConnection &connection, bool hasQueryTable)
{
    AccessCatalog catalog;
    auto objects = connection.openRecordset(QStringLiteral(
        "select Id, Name, Type, Flags, Database, Connect, ForeignName from MSysObjects where Type in (4, 5, 6)"));
    struct Found
    {
        qint64 id;
        QString name;
        int flags;
    };
    std::vector<Found> queries;
    for (; !objects->eof(); objects->moveNext()) {
        const QString name = textOf(objects->value(1));
        const int type = numberOf(objects->value(2)).value_or(0);
        if (type == queryType) {
            queries.push_back({objects->value(0).isNull() ? 0 : objects->value(0).integer(), name,
                               numberOf(objects->value(3)).value_or(0)});
        } else {
            const bool odbc = type == odbcLinkType;
            catalog.links.push_back({name, textOf(objects->value(odbc ? 5 : 4)), textOf(objects->value(6)), odbc});
        }
    }
    objects.reset();
    if (queries.empty())
        return catalog;
    std::map<qint64, std::vector<SavedQuery::Row>> rows;
    if (hasQueryTable)
        rows = queryRows(connection);
    for (Found &found : queries) {
        Query query{found.name, std::nullopt, {}};
        try {
            query.query.emplace(found.name, found.flags, std::move(rows[found.id]));
        } catch (const Failure &error) {
            query.unreadable = error.description();
        }
        catalog.queries.push_back(std::move(query));
    }
    return catalog;
}

bool AccessCatalog::isRecordSource(const QString &queryName)
{
    return queryName.startsWith(QStringLiteral("~sq_"), Qt::CaseInsensitive);
}

QString AccessCatalog::withoutPassword(const QString &connection)
{
    // ODBC keywords: PWD, and Password for some drivers; a value may be
    // braced to hold semicolons.
    static const QRegularExpression password(QStringLiteral(R"((^|;)\s*(PWD|Password)\s*=\s*(\{[^}]*\}|[^;]*);?)"),
                                             QRegularExpression::CaseInsensitiveOption);
    QString text = connection;
    text.replace(password, QStringLiteral("\\1"));
    return text;
}

QString AccessCatalog::fileName(const QString &storedPath)
{
    return storedPath.mid(std::max(storedPath.lastIndexOf(u'\\'), storedPath.lastIndexOf(u'/')) + 1);
}

QString AccessCatalog::findBackEnd(const QString &storedPath, const QDir &frontEndFolder)
{
    if (storedPath.isEmpty())
        return {};
    const QFileInfo stored(storedPath);
    if (stored.isFile())
        return stored.absoluteFilePath();
    const QString fileName = AccessCatalog::fileName(storedPath);
    const QStringList entries = frontEndFolder.entryList(QDir::Files);
    for (const QString &entry : entries) {
        if (entry.compare(fileName, Qt::CaseInsensitive) == 0)
            return frontEndFolder.absoluteFilePath(entry);
    }
    return {};
}

} // namespace morvane

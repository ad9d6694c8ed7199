#include "QueryRun.h"

#include "Database.h"
#include "Failure.h"
#include "mdlMain.h"

#include <algorithm>
#include <limits>

namespace morvane {

namespace {

const QString cancelledText = QStringLiteral("The statement was cancelled.");

// Most cells have nothing to trim; handing the text on keeps it shared
// instead of copying it.
QString withoutOuterSpaces(QString text)
{
    const QStringView trimmed = TrimSpaces(text);
    return trimmed.size() == text.size() ? text : trimmed.toString();
}

} // namespace

QueryRun::QueryRun(Database &database, const std::atomic_bool &cancelled)
    : m_database(database), m_cancelled(cancelled)
{
}

QString QueryRun::countMessage(qint64 count)
{
    // The wording is chosen on a 16-bit copy of the count, as it always was.
    const bool plural = IsPlural(qint16(count));
    return QString::number(count) + (plural ? QStringLiteral(" items found.") : QStringLiteral(" item found."));
}

void QueryRun::throwIfCancelled() const
{
    if (m_cancelled.load(std::memory_order_relaxed))
        throw Failure(cancelledText);
}

// The grid follows the outline's names when each of them picks out exactly
// one field. Otherwise (select *, t.*, an unaliased expression, two tables'
// columns of the same name, a statement the outline does not read) a lookup by
// name would fail or show one field under two headers, so the result's own
// fields are shown, in order, under the engine's names.
std::vector<QueryRun::Column> QueryRun::columns(const Recordset &result, const QStringList &outlineFields) const
{
    std::vector<Column> columns;
    const bool byOutline = !outlineFields.isEmpty()
        && std::all_of(outlineFields.cbegin(), outlineFields.cend(),
                       [&result](const QString &name) { return result.fieldsNamed(name) == 1; });
    if (byOutline) {
        for (const QString &name : outlineFields)
            columns.push_back({result.fieldIndex(name), name});
    } else {
        for (int i = 0; i < result.fieldCount(); ++i)
            columns.push_back({i, result.fieldName(i)});
    }
    return columns;
}

void QueryRun::readRows(Recordset &result, const std::vector<Column> &columns, QueryResult &block)
{
    const std::size_t width = columns.size();
    block.cells.reserve(width * rowLimit);
    block.nulls.reserve(width * rowLimit);
    while (!result.eof() && block.rowCount < rowLimit) {
        throwIfCancelled();
        for (const Column &column : columns) {
            const FieldValue value = result.value(column.field);
            block.cells.push_back(withoutOuterSpaces(FieldText(value)));
            block.nulls.push_back(value.isNull());
        }
        ++block.rowCount;
        result.moveNext();
    }
}

// Only a result that runs past the limit is counted apart; otherwise the rows
// read are the count. A count the engine cannot give, or one too large for
// the 16-bit wording, leaves the message unspecific.
QString QueryRun::overLimitMessage(const QString &select)
{
    throwIfCancelled();
    qint64 count = -1;
    try {
        count = m_database.countRows(select);
    } catch (const Failure &) {
        throwIfCancelled();
    }
    if (count < 0 || count > std::numeric_limits<qint16>::max())
        return QStringLiteral("Over 1000 items found.");
    return countMessage(count) + QStringLiteral(" The first 1000 are shown.");
}

QueryResult QueryRun::run(const QString &select, const QStringList &outlineFields)
{
    QueryResult block;
    try {
        std::unique_ptr<Recordset> result = OpenQuery(m_database, select);
        if (result->eof()) {
            block.countMessage = QStringLiteral("0 items found.");
            return block;
        }
        const std::vector<Column> picked = columns(*result, outlineFields);
        for (const Column &column : picked)
            block.headers.append(column.header);
        readRows(*result, picked, block);
        const bool pastLimit = !result->eof();
        const qint64 read = result->recordCount();
        result->close();
        block.countMessage = pastLimit ? overLimitMessage(select) : countMessage(read);
    } catch (const ConnectionLost &error) {
        // Cancelled or not, the user needs to hear that the session ended.
        block.failure = error.description();
    } catch (const Failure &error) {
        block.failure = m_cancelled.load() ? cancelledText : error.description();
    } catch (const std::exception &error) {
        block.failure = QString::fromUtf8(error.what());
    }
    // A row cut short by a failure still shows the cells read before it.
    const std::size_t width = std::size_t(block.columnCount());
    if (width > 0 && block.cells.size() > std::size_t(block.rowCount) * width) {
        ++block.rowCount;
        block.cells.resize(std::size_t(block.rowCount) * width);
        block.nulls.resize(block.cells.size());
    }
    return block;
}

} // namespace morvane

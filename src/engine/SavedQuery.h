#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace morvane {

// A query saved in an Access file. Access keeps no text of it: its parts are
// rows of the system table MSysQueries (one row per column, table, join,
// condition, ...), and the text its SQL view shows is put together from them
// on demand. This class does the same, so the text is the one users know.
class SavedQuery
{
public:
    // One row of MSysQueries. A Null text is a null QString, a Null number an
    // empty optional: Access tells the two apart from the empty text and 0.
    struct Row
    {
        int attribute = 0;
        QString expression;
        std::optional<int> flag;
        std::optional<int> extra;
        QString name1;
        QString name2;
    };

    enum class Kind { Select, MakeTable, Append, Update, Delete, Crosstab, DataDefinition, PassThrough, Union };

    struct Parameter
    {
        QString name;
        // Access's name of the type: Text, DateTime, Long, ...
        QString type;
    };

    // `objectFlags` is the query's Flags in MSysObjects; `rows` its rows of
    // MSysQueries in stored order. Failure when the rows name no kind this
    // program knows.
    SavedQuery(QString name, int objectFlags, std::vector<Row> rows);

    [[nodiscard]] const QString &name() const { return m_name; }
    [[nodiscard]] Kind kind() const { return m_kind; }
    // "select", "append", "make-table", ...
    [[nodiscard]] static QString kindName(Kind kind);
    // Select, union and crosstab queries only read; the others change the
    // file or speak to a server.
    [[nodiscard]] bool onlyReads() const;

    // The text of Access's SQL view, lines ending in CR LF as Access writes
    // them. Failure when the rows contradict each other.
    [[nodiscard]] QString text() const;
    // The same, but a select in the FROM clause stands in parentheses, as
    // SQL writes it, rather than Access's [select ...]. form.
    [[nodiscard]] QString runnableText() const;
    // The declared parameters, in order.
    [[nodiscard]] std::vector<Parameter> parameters() const;
    // The connection text of a pass-through query.
    [[nodiscard]] QString connection() const;

private:
    class Builder;
    enum class Form { AsShown, Runnable };
    [[nodiscard]] QString build(Form form) const;

    QString m_name;
    Kind m_kind = Kind::Select;
    std::vector<Row> m_rows;
};

} // namespace morvane

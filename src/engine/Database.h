#pragma once

#include "FieldValue.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <memory>
#include <optional>

namespace morvane {

// The database engine as the program sees it: open a database, open a result
// set on it, count a statement's rows, execute an action statement. Backends
// live behind this interface and know nothing of windows.
//
// A database and its result sets are used by one thread at a time; only
// interrupt() may be called from another thread while that one works. Every
// failure is raised as Failure with the engine's own description.

// A forward-only cursor over the rows of one select statement. It starts on the
// first row, or at the end when the statement yields none.
class Recordset
{
public:
    virtual ~Recordset() = default;

    [[nodiscard]] virtual bool eof() const = 0;
    virtual void moveNext() = 0;

    // The number of rows passed so far; the row count of the whole result once
    // eof() is true.
    [[nodiscard]] virtual qint64 recordCount() const = 0;

    [[nodiscard]] virtual int fieldCount() const = 0;
    [[nodiscard]] virtual QString fieldName(int index) const = 0;
    // The value of field `index` (0-based) in the current row.
    [[nodiscard]] virtual FieldValue value(int index) const = 0;

    // Releases the statement early; the destructor does the same.
    virtual void close() = 0;

    // Field lookup by name ignores letter case. The first field of that name
    // wins; -1 when there is none.
    [[nodiscard]] int fieldIndex(QStringView name) const;
    // How many fields carry `name`, letter case ignored.
    [[nodiscard]] int fieldsNamed(QStringView name) const;
    // The value of the field called `name`; Failure when there is none.
    [[nodiscard]] FieldValue value(QStringView name) const;
};

// Asks the user for the value of a parameter a statement needs (a saved
// query's [Start date]): the text typed, or nothing when the user cancels.
// Called on the thread the database works on.
using ParameterPrompt = std::function<std::optional<QString>(const QString &name)>;

class Database
{
public:
    virtual ~Database() = default;

    // Where the values of parameters come from until the next call; answers
    // given before are forgotten. Without a prompt a statement that needs a
    // value fails. Backends whose statements take no parameters ignore it.
    virtual void setParameterPrompt(ParameterPrompt prompt) { Q_UNUSED(prompt); }

    // A result set for a select statement, positioned on its first row.
    [[nodiscard]] virtual std::unique_ptr<Recordset> openRecordset(const QString &sql) = 0;
    // Runs one action statement (insert, update, delete and the like).
    virtual void execute(const QString &sql) = 0;
    // The number of rows the select statement yields, counted by the engine
    // without handing them over.
    [[nodiscard]] virtual qint64 countRows(const QString &select) = 0;

    // Ends the statement now running on another thread as soon as the engine
    // can; it fails with Failure. Harmless when nothing runs. Any thread.
    virtual void interrupt() = 0;
};

} // namespace morvane

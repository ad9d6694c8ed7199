#pragma once

#include "FieldValue.h"

#include <QString>
#include <QStringView>

#include <memory>

namespace morvane {

// The database engine as the program sees it: open a database, open a result
// set on it, execute an action statement. Backends live behind this interface
// and know nothing of windows. Everything runs on the calling thread; every
// failure is raised as DatabaseError with the engine's own description.

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
    // The value of the field called `name`; DatabaseError when there is none.
    [[nodiscard]] FieldValue value(QStringView name) const;
};

class Database
{
public:
    virtual ~Database() = default;

    // A result set for a select statement, positioned on its first row.
    [[nodiscard]] virtual std::unique_ptr<Recordset> openRecordset(const QString &sql) = 0;
    // Runs one action statement (insert, update, delete and the like).
    virtual void execute(const QString &sql) = 0;
};

} // namespace morvane

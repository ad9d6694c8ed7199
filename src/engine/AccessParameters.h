#pragma once

#include "Database.h"

#include <QHash>
#include <QString>
#include <QVariant>

struct sqlite3;

namespace morvane {

// The values of the parameters of Access statements, asked for once each.
// Statements name a parameter through the SQL function
// access_parameter(name, type), where type is Access's name of the declared
// type (Text, DateTime, Long, ..., or Value when none is declared). The
// first call for a name asks the prompt; later calls, in the same statement
// or in the next one (the count of a Get), reuse the answer until a new
// prompt is set.
class AccessParameters
{
public:
    void install(sqlite3 *db);
    void setPrompt(ParameterPrompt prompt);

    // The typed text read as Access reads a value of the declared type;
    // Failure when it is not one.
    [[nodiscard]] static QVariant valueOf(const QString &name, const QString &typed, const QString &type);

    // The parameter's value: the answer given before, or the prompt's answer
    // read as `type`. Failure when there is no prompt or the user cancels.
    [[nodiscard]] QVariant value(const QString &name, const QString &type);

private:
    ParameterPrompt m_prompt;
    // By name, letter case aside, as Access matches them.
    QHash<QString, QVariant> m_answers;
};

} // namespace morvane

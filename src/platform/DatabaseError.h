#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace morvane {

// Every failure of the engine is raised as this exception. The description is
// the engine's own wording; the query window shows it to the user unchanged.
class DatabaseError : public std::exception
{
public:
    explicit DatabaseError(QString description)
        : m_description(std::move(description)), m_utf8(m_description.toUtf8())
    {
    }

    [[nodiscard]] const QString &description() const noexcept { return m_description; }
    [[nodiscard]] const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

} // namespace morvane

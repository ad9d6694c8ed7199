#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace morvane {

// Every failure of the engine and of the settings store is raised as this
// exception. The description is the engine's own wording; the windows show it
// to the user unchanged.
class Failure : public std::exception
{
public:
    explicit Failure(QString description)
        : m_description(std::move(description)), m_utf8(m_description.toUtf8())
    {
    }

    [[nodiscard]] const QString &description() const noexcept { return m_description; }
    [[nodiscard]] const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

// A failure that ended the session with a server: what the statement was
// cancelled for, if it was, no longer matters, and the next statement
// connects again.
class ConnectionLost : public Failure
{
public:
    using Failure::Failure;
};

} // namespace morvane

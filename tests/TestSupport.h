#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace morvane::test {

// Gives a test its own settings and data folders for its whole run, so that
// nothing it does reaches the real user's files. Create one in initTestCase().
class IsolatedUserFolders
{
public:
    IsolatedUserFolders()
    {
        QVERIFY(m_root.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configPath()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("data"))));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configPath());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configPath());
    }

    [[nodiscard]] QString configPath() const { return m_root.filePath(QStringLiteral("config")); }
    [[nodiscard]] QString dataPath() const { return m_root.filePath(QStringLiteral("data")); }

private:
    QTemporaryDir m_root;
};

} // namespace morvane::test

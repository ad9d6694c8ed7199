#include "SettingsStore.h"

#include "Failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>


namespace morvane {

const QString SettingsStore::applicationTitle = QStringLiteral("Morvane");

namespace {

const QString pathKey = QStringLiteral("Main/DB");
const QString selectKey = QStringLiteral("SQL/Select");
const QString executeKey = QStringLiteral("SQL/Execute");

constexpr QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;

// QSettings replaces its file through a temporary copy that keeps the old
// file's permissions, so creating the file owner-only first keeps it so.
void createOwnerOnly(const QString &fileName)
{
    if (QFileInfo::exists(fileName))
        return;
    QDir().mkpath(QFileInfo(fileName).absolutePath());
    QFile file(fileName);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        file.setPermissions(ownerOnly);
}

} // namespace

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, applicationTitle, applicationTitle))
{
}

SettingsStore::SettingsStore(const QString &fileName)
    : m_settings(std::make_unique<QSettings>(fileName, QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::fileName() const
{
    return m_settings->fileName();
}

QString SettingsStore::read(const QString &key) const
{
    return m_settings->value(key, QString()).toString();
}

void SettingsStore::write(const QString &key, const QString &value)
{
    // Get and Execute store their statement at every run; writing the same
    // text again would replace and sync the file each time for nothing.
    if (m_settings->contains(key) && read(key) == value && QFileInfo::exists(fileName()))
        return;
    // QSettings keeps the first error it meets for good; a store that failed
    // once starts afresh, so that a write that can succeed now does.
    if (m_settings->status() != QSettings::NoError)
        m_settings = std::make_unique<QSettings>(fileName(), QSettings::IniFormat);
    createOwnerOnly(fileName());
    m_settings->setValue(key, value);
    m_settings->sync();
    QFile::setPermissions(fileName(), ownerOnly);
    if (m_settings->status() != QSettings::NoError)
        throw Failure(QStringLiteral("The settings could not be saved to %1.").arg(fileName()));
}

QString SettingsStore::databasePath() const { return read(pathKey); }
void SettingsStore::setDatabasePath(const QString &path) { write(pathKey, path); }

QString SettingsStore::selectStatement() const { return read(selectKey); }
void SettingsStore::setSelectStatement(const QString &sql) { write(selectKey, sql); }

QString SettingsStore::executeStatement() const { return read(executeKey); }
void SettingsStore::setExecuteStatement(const QString &sql) { write(executeKey, sql); }

} // namespace morvane

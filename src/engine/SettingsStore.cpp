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
    , m_damaged(m_settings->status() == QSettings::FormatError)
{
}

SettingsStore::SettingsStore(const QString &fileName)
    : m_settings(std::make_unique<QSettings>(fileName, QSettings::IniFormat))
    , m_damaged(m_settings->status() == QSettings::FormatError)
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::fileName() const
{
    return m_settings->fileName();
}

QString SettingsStore::read(const QString &key) const
{
    // What survived of a damaged file is not trusted: all of it reads as
    // the defaults.
    if (m_damaged)
        return QString();
    return m_settings->value(key, QString()).toString();
}

// Whether the file, as it is on disk now, already holds `value`. Another
// copy of the program may have written it since this one last looked, so the
// file is read again when it has changed.
bool SettingsStore::fileHolds(const QString &key, const QString &value)
{
    if (m_damaged || !QFileInfo(fileName()).isFile())
        return false;
    m_settings->sync();
    return m_settings->status() == QSettings::NoError && m_settings->contains(key) && read(key) == value;
}

// The damaged file is replaced as a whole: nothing half-read from it is
// written back.
void SettingsStore::discardDamagedFile()
{
    const QString name = fileName();
    m_settings.reset();
    QFile::remove(name);
    m_settings = std::make_unique<QSettings>(name, QSettings::IniFormat);
    m_damaged = false;
}

void SettingsStore::write(const QString &key, const QString &value)
{
    // Get and Execute store their statement at every run; writing the same
    // text again would replace and sync the file each time for nothing.
    if (!fileHolds(key, value)) {
        // QSettings keeps the first error it meets for good; a store that
        // failed once starts afresh, so that a write that can succeed now does.
        if (m_damaged)
            discardDamagedFile();
        else if (m_settings->status() != QSettings::NoError)
            m_settings = std::make_unique<QSettings>(fileName(), QSettings::IniFormat);
        createOwnerOnly(fileName());
        m_settings->setValue(key, value);
        m_settings->sync();
    }
    // A file left readable by others, by an older copy of the program or by
    // hand, is narrowed at every save, the first of the session included,
    // whether the value changed or not.
    if (QFileInfo(fileName()).isFile())
        QFile::setPermissions(fileName(), ownerOnly);
    if (m_settings->status() != QSettings::NoError || !QFileInfo(fileName()).isFile())
        throw Failure(QStringLiteral("The settings could not be saved to %1.").arg(fileName()));
}

QString SettingsStore::databasePath() const { return read(pathKey); }
void SettingsStore::setDatabasePath(const QString &path) { write(pathKey, path); }

QString SettingsStore::selectStatement() const { return read(selectKey); }
void SettingsStore::setSelectStatement(const QString &sql) { write(selectKey, sql); }

QString SettingsStore::executeStatement() const { return read(executeKey); }
void SettingsStore::setExecuteStatement(const QString &sql) { write(executeKey, sql); }

} // namespace morvane

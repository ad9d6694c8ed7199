#include "SettingsStore.h"

#include "Failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>

#include <algorithm>

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

bool isTextOfASettingsFile(const QByteArray &bytes)
{
    // QSettings escapes every control character in what it writes, and a
    // person's editor leaves none but tabs and line breaks.
    const bool controls = std::any_of(bytes.cbegin(), bytes.cend(), [](char c) {
        return (uchar(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
    });
    if (controls)
        return false;
    QStringDecoder utf8(QStringDecoder::Utf8);
    (void)QString(utf8(bytes));
    return !utf8.hasError();
}

// QSettings reads a file's sections only when a key of theirs is asked for,
// and takes most bytes for keys of some kind: random bytes read as junk keys,
// and the error, if any, comes only at a later read or save. The whole file
// is judged at once instead.
bool isDamaged(QSettings &settings)
{
    QFile file(settings.fileName());
    if (file.open(QIODevice::ReadOnly) && !isTextOfASettingsFile(file.readAll()))
        return true;
    (void)settings.allKeys();
    return settings.status() == QSettings::FormatError;
}

} // namespace

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, applicationTitle, applicationTitle))
    , m_damaged(isDamaged(*m_settings))
{
}

SettingsStore::SettingsStore(const QString &fileName)
    : m_settings(std::make_unique<QSettings>(fileName, QSettings::IniFormat))
    , m_damaged(isDamaged(*m_settings))
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
        // Another copy of the program, or a crash of one, may have damaged
        // the file since it was read.
        if (!m_damaged && QFileInfo(fileName()).isFile())
            m_damaged = isDamaged(*m_settings);
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
    // A format error met while saving concerns what was read, not the save.
    if (m_settings->status() == QSettings::AccessError || !QFileInfo(fileName()).isFile())
        throw Failure(QStringLiteral("The settings could not be saved to %1.").arg(fileName()));
}

QString SettingsStore::databasePath() const { return read(pathKey); }
void SettingsStore::setDatabasePath(const QString &path) { write(pathKey, path); }

QString SettingsStore::selectStatement() const { return read(selectKey); }
void SettingsStore::setSelectStatement(const QString &sql) { write(selectKey, sql); }

QString SettingsStore::executeStatement() const { return read(executeKey); }
void SettingsStore::setExecuteStatement(const QString &sql) { write(executeKey, sql); }

} // namespace morvane

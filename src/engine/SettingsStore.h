#pragma once

#include <QString>

#include <memory>

class QSettings;

namespace morvane {

// The three texts remembered per user between runs: the last database path
// that opened, and the two statements. Values are stored exactly as given.
// The file is readable by its owner only, since a path may carry credentials.
// A damaged file reads as defaults and is written anew, whole, at the next
// save. A write that fails raises Failure.
class SettingsStore
{
public:
    // The user's store under the application title.
    SettingsStore();
    // A store kept in the given file (tests, tools).
    explicit SettingsStore(const QString &fileName);
    ~SettingsStore();

    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    [[nodiscard]] QString databasePath() const;
    void setDatabasePath(const QString &path);

    [[nodiscard]] QString selectStatement() const;
    void setSelectStatement(const QString &sql);

    [[nodiscard]] QString executeStatement() const;
    void setExecuteStatement(const QString &sql);

    [[nodiscard]] QString fileName() const;

    static const QString applicationTitle;

private:
    [[nodiscard]] QString read(const QString &key) const;
    void write(const QString &key, const QString &value);
    [[nodiscard]] bool fileHolds(const QString &key, const QString &value);
    void discardDamagedFile();

    std::unique_ptr<QSettings> m_settings;
    bool m_damaged = false;
};

} // namespace morvane

#pragma once

#include "AppContext.h"
#include "Database.h"
#include "DatabaseThread.h"
#include "ResultGrid.h"
#include "ResultModel.h"
#include "SettingsStore.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

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

// What the program hands its windows, as a test hands it: the settings in the
// test's own folders, a database thread, the owner of the open database, and
// short timeouts so that waits end quickly. Create it after
// IsolatedUserFolders, so that the settings file lies in the test's folder.
class TestApp
{
public:
    // The progress window shows only where a test asks for it with a short
    // delay, so that a busy machine cannot move the focus of the others.
    explicit TestApp(int progressDelayMs = 5000)
        : context{settings, thread, database, EngineTimeouts{200, 300}, progressDelayMs}
    {
    }

    SettingsStore settings;
    DatabaseThread thread;
    std::unique_ptr<Database> database;
    AppContext context;
};

// The visible top-level window of this kind, or null when there is none.
template<typename Form>
Form *visibleForm()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *form = qobject_cast<Form *>(widget); form && form->isVisible())
            return form;
    }
    return nullptr;
}

inline QStringList gridHeaders(const ResultGrid *grid)
{
    return grid->rows().result().headers;
}

inline int gridRowCount(const ResultGrid *grid)
{
    return grid->rows().rowCount();
}

inline QStringList gridRow(const ResultGrid *grid, int row)
{
    QStringList texts;
    const ResultModel &model = grid->rows();
    for (int column = 0; column < model.columnCount(); ++column)
        texts.append(model.index(row, column).data().toString());
    return texts;
}

inline bool gridCellIsRed(const ResultGrid *grid, int row, int column)
{
    const ResultModel &model = grid->rows();
    return model.index(row, column).data(Qt::ForegroundRole).value<QColor>() == QColor(255, 0, 0);
}

} // namespace morvane::test

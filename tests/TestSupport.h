#pragma once

// What the test programs share: the program's headers they drive, the Qt
// classes of its controls, and small helpers.
#include "AppContext.h"
#include "Database.h"
#include "DatabaseEngine.h"
#include "DatabaseThread.h"
#include "Design.h"
#include "Failure.h"
#include "FieldValue.h"
#include "ResultGrid.h"
#include "ResultModel.h"
#include "SettingsStore.h"
#include "SqliteFixture.h"
#include "StatementBox.h"
#include "WarningCatcher.h"
#include "frmDB.h"
#include "frmMain.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

#include <sys/stat.h>

Q_DECLARE_METATYPE(morvane::FieldValue)

namespace morvane {

// Lets QCOMPARE print both values of a failed comparison.
inline char *toString(const FieldValue &value)
{
    switch (value.type()) {
    case FieldValue::Type::Null:
        return qstrdup("Null");
    case FieldValue::Type::Integer:
        return qstrdup(QByteArray("integer ") + QByteArray::number(value.integer()));
    case FieldValue::Type::Real:
        return qstrdup(QByteArray("real ") + QByteArray::number(value.real(), 'g', 17));
    case FieldValue::Type::Text:
        return qstrdup(QByteArray("text \"") + value.text().toUtf8() + '"');
    case FieldValue::Type::Binary:
        return qstrdup(QByteArray("binary ") + value.binary().toHex());
    }
    return qstrdup("?");
}

} // namespace morvane

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
    // As in the program: the thread stops before the database goes.
    std::unique_ptr<Database> database;
    DatabaseThread thread;
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

// Shows a window and waits until it is on screen (or, with `active`, has
// the focus); false when it never got there.
inline bool showAndWait(QWidget *window, bool active = false)
{
    window->QWidget::show();
    return active ? QTest::qWaitForWindowActive(window) : QTest::qWaitForWindowExposed(window);
}

// Types a statement into the query window's select box and presses Get, or
// into its action box and presses Execute, as the user does.
inline void get(frmMain *window, const QString &select)
{
    window->txtSelect->setPlainText(select);
    window->getButton->click();
}

inline void execute(frmMain *window, const QString &action)
{
    window->txtExecute->setPlainText(action);
    window->cmdExecute->click();
}

// Closes every window and lets the ones that delete themselves go.
inline void closeAllWindows()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Opens `path` from a new selection dialog as the user does: types it and
// presses Open. The query window that opened, or null.
inline frmMain *openThroughDialog(AppContext &context, const QString &path)
{
    frmDB *dialog = createForm<frmDB>(context);
    dialog->show();
    dialog->pathBox->setText(path);
    dialog->openButton->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return visibleForm<frmMain>();
}

using Row = QList<FieldValue>;
using Rows = QList<Row>;

// Values of an expected row, by kind.
inline FieldValue integer(qint64 value) { return FieldValue(value); }
inline FieldValue real(double value) { return FieldValue(value); }
inline FieldValue text(const QString &value) { return FieldValue(value); }

// A copy of an Access test file in the test data.
inline QString jetFixture(const QString &name)
{
    return QStringLiteral(MORVANE_TEST_DATA "/jet/") + name;
}

// Every row of a statement, every field; Failure as the engine raises it.
inline Rows rowsOf(Database &db, const QString &sql)
{
    Rows rows;
    auto recordset = db.openRecordset(sql);
    for (; !recordset->eof(); recordset->moveNext()) {
        Row row;
        for (int i = 0; i < recordset->fieldCount(); ++i)
            row << recordset->value(i);
        rows << row;
    }
    return rows;
}

// Compares row by row and field by field, so a failure names the first
// difference.
inline void compareRows(const Rows &actual, const Rows &expected)
{
    QCOMPARE(actual.size(), expected.size());
    for (qsizetype r = 0; r < actual.size(); ++r) {
        QCOMPARE(actual.at(r).size(), expected.at(r).size());
        for (qsizetype c = 0; c < actual.at(r).size(); ++c)
            QCOMPARE(actual.at(r).at(c), expected.at(r).at(c));
    }
}

// The engine's description of a failure, or empty when there was none.
inline QString failureOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const Failure &error) {
        return error.description().isEmpty() ? QStringLiteral("<empty description>") : error.description();
    }
    return QString();
}

inline void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

// The whole content of a file, or empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QByteArray checksum(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

// The permission bits of a file, or -1 when it cannot be read.
inline int fileMode(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

// A result of `headers.size()` columns holding `cells` row by row.
inline QueryResult makeResult(const QStringList &headers, const QStringList &cells, const QList<bool> &nulls = {})
{
    QueryResult result;
    result.headers = headers;
    result.cells.assign(cells.cbegin(), cells.cend());
    result.nulls.assign(cells.size(), false);
    std::copy(nulls.cbegin(), nulls.cend(), result.nulls.begin());
    result.rowCount = int(cells.size() / headers.size());
    return result;
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

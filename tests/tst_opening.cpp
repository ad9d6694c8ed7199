// Opening a database and remembering it, when things around it go wrong: a
// settings file that is damaged or cannot be written, one that others can
// read, one another copy of the program changed, a locked database, a FIFO,
// and Enter on Cancel.
#include "AppContext.h"
#include "Database.h"
#include "DatabaseThread.h"
#include "Design.h"
#include "SettingsStore.h"
#include "SqliteFixture.h"
#include "TestSupport.h"
#include "WarningCatcher.h"
#include "frmDB.h"
#include "frmMain.h"

#include <QLabel>
#include <QLineEdit>
#include "StatementBox.h"
#include <QPushButton>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace morvane;

namespace {

struct Shown
{
    QString message;
    QString description;
};

int fileMode(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

frmMain *queryWindow()
{
    return test::visibleForm<frmMain>();
}

} // namespace

class OpeningTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        QVERIFY(m_dir.isValid());
        m_database = m_dir.filePath(QStringLiteral("good.sqlite"));
        QVERIFY(test::makeSqliteDatabase(m_database, QStringLiteral("create table t(a); insert into t values (1);")));
    }

    void cleanup()
    {
        // Closing the query window stores its statements, which may warn.
        test::WarningCatcher closing;
        for (QWidget *widget : QApplication::topLevelWidgets())
            widget->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_open.reset();
        m_context.reset();
        m_thread.reset();
        m_settings.reset();
    }

    void aSettingsFailureDoesNotHideAGoodDatabase_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("warns");
        QTest::newRow("damaged file") << "damaged" << false;
        QTest::newRow("a folder in its place") << "folder" << true;
        QTest::newRow("unreadable file") << "unreadable" << true;
        QTest::newRow("read-only folder") << "read-only folder" << true;
    }

    void aSettingsFailureDoesNotHideAGoodDatabase()
    {
        QFETCH(QString, damage);
        QFETCH(bool, warns);
        const QString folder = m_dir.filePath(damage);
        QVERIFY(QDir().mkpath(folder));
        const QString ini = folder + QStringLiteral("/Morvane.ini");
        if (damage == QStringLiteral("damaged")) {
            writeFile(ini, "[Main");
        } else if (damage == QStringLiteral("folder")) {
            QVERIFY(QDir().mkpath(ini));
        } else {
            if (::geteuid() == 0)
                QSKIP("file permissions do not bind the superuser");
            writeFile(ini, "[Main]\nDB=/elsewhere\n");
            if (damage == QStringLiteral("unreadable"))
                QVERIFY(QFile::setPermissions(ini, {}));
            else
                QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        }

        QList<Shown> shown = openThroughDialog(ini, m_database);
        QVERIFY2(queryWindow(), "the database did not open");
        QVERIFY(m_open);
        if (warns) {
            QCOMPARE(shown.size(), 1);
            QVERIFY2(shown[0].message.contains(QStringLiteral("Morvane.ini")), qPrintable(shown[0].message));
            QVERIFY(shown[0].description.contains(ini));
        } else {
            // A damaged file reads as empty, and is written anew as a whole.
            QCOMPARE(shown.size(), 0);
            QCOMPARE(m_loadedPath, QString());
            QSettings reread(ini, QSettings::IniFormat);
            QCOMPARE(reread.status(), QSettings::NoError);
            QCOMPARE(reread.value(QStringLiteral("Main/DB")).toString(), m_database);
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void theFirstSaveOfASessionMakesTheFileOwnerOnly()
    {
        const QString ini = m_dir.filePath(QStringLiteral("mode.ini"));
        writeFile(ini, QByteArray("[Main]\nDB=") + m_database.toUtf8() + "\n");
        QVERIFY(QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        // The same path as stored: nothing changes but the file's mode.
        QVERIFY(openThroughDialog(ini, m_database).isEmpty());
        QVERIFY(queryWindow());
        QCOMPARE(fileMode(ini), 0600);
    }

    void aSaveIsSkippedOnlyWhenTheFileHoldsTheValue()
    {
        const QString ini = m_dir.filePath(QStringLiteral("shared.ini"));
        QVERIFY(openThroughDialog(ini, m_database).isEmpty());
        frmMain *window = queryWindow();
        QVERIFY(window);
        window->txtSelect->setPlainText(QStringLiteral("select a from t"));
        window->getButton->click();
        QVERIFY(contents(ini).contains("Select=select a from t"));

        // Another copy of the program stores its own statement meanwhile.
        QByteArray other = contents(ini);
        other.replace("Select=select a from t", "Select=select 2 from t as other");
        writeFile(ini, other);
        QFile file(ini);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
        file.close();

        window->getButton->click();
        QVERIFY2(contents(ini).contains("Select=select a from t"), contents(ini).constData());
    }

    void aLockedDatabaseSaysSo()
    {
        const QString locked = m_dir.filePath(QStringLiteral("locked.sqlite"));
        QVERIFY(test::makeSqliteDatabase(locked, QStringLiteral("create table t(a);")));
        sqlite3 *holder = nullptr;
        QCOMPARE(sqlite3_open(locked.toUtf8().constData(), &holder), SQLITE_OK);
        QCOMPARE(sqlite3_exec(holder, "pragma locking_mode = exclusive; begin exclusive; insert into t values (1);",
                              nullptr, nullptr, nullptr), SQLITE_OK);
        const QList<Shown> shown = openThroughDialog(m_dir.filePath(QStringLiteral("locked.ini")), locked);
        sqlite3_exec(holder, "rollback", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].message, QStringLiteral("Database was not found."));
        QVERIFY2(shown[0].description.contains(QStringLiteral("locked")), qPrintable(shown[0].description));
        QVERIFY(!queryWindow());
    }

    void whatIsNoRegularFileIsRefusedAtOnce_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("folder") << "folder";
    }

    void whatIsNoRegularFileIsRefusedAtOnce()
    {
        QFETCH(QString, kind);
        const QString path = m_dir.filePath(QStringLiteral("not-a-file-") + kind);
        if (kind == QStringLiteral("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            QVERIFY(QDir().mkpath(path));
        const QList<Shown> shown = openThroughDialog(m_dir.filePath(QStringLiteral("fifo.ini")), path);
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].description.contains(QStringLiteral("not a regular file")), qPrintable(shown[0].description));
    }

    void enterOnAFocusedCancelCancels()
    {
        makeContext(m_dir.filePath(QStringLiteral("cancel.ini")));
        auto dialog = std::make_unique<frmDB>(*m_context);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        dialog->Text1->setText(m_database);
        dialog->Command2->setFocus();
        QTRY_VERIFY(dialog->Command2->hasFocus());
        QTest::keyClick(dialog->Command2, Qt::Key_Return);
        QTRY_VERIFY(!dialog->isVisible());
        QVERIFY(!m_open);
        QVERIFY(!queryWindow());
    }

private:
    void makeContext(const QString &ini)
    {
        m_settings = std::make_unique<SettingsStore>(ini);
        m_thread = std::make_unique<DatabaseThread>();
        m_context = std::make_unique<AppContext>(AppContext{*m_settings, *m_thread, m_open, {50, 500}, 1000});
    }

    // Opens `path` from the selection dialog, with the settings kept in
    // `ini`, and answers the warnings it raises.
    QList<Shown> openThroughDialog(const QString &ini, const QString &path)
    {
        makeContext(ini);
        QList<Shown> shown;
        test::WarningCatcher catcher([&shown](frmVidvorun *warning) {
            shown.append({warning->Label1->text(), warning->Label1->toolTip()});
            warning->Command1->click();
        });
        frmDB *dialog = createForm<frmDB>(*m_context);
        m_loadedPath = dialog->Text1->text();
        dialog->show();
        dialog->Text1->setText(path);
        dialog->Command1->click();
        return shown;
    }

    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    QTemporaryDir m_dir;
    QString m_database;
    QString m_loadedPath;
    std::unique_ptr<SettingsStore> m_settings;
    std::unique_ptr<DatabaseThread> m_thread;
    std::unique_ptr<Database> m_open;
    std::unique_ptr<AppContext> m_context;
};

QTEST_MAIN(OpeningTest)
#include "tst_opening.moc"

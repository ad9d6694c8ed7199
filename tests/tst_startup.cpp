// Start-up: the selection dialog, opening a database, the warning dialog.
#include "StartUp.h"
#include "TestSupport.h"

using namespace morvane;

namespace {

template<typename Form>
QList<Form *> openForms()
{
    QList<Form *> forms;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *form = qobject_cast<Form *>(widget); form && form->isVisible())
            forms.append(form);
    }
    return forms;
}

// Runs the application's own event loop with `actions` queued in it, so the
// program's end with its last window is observable: the loop returns then.
// A loop that does not end within the bound returns -1.
int runApplication(const std::function<void()> &actions)
{
    QTimer::singleShot(0, qApp, actions);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(-1); });
    guard.start(20000);
    return QApplication::exec();
}

QStringList folderEntries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        QVERIFY(m_data.isValid());
        m_database = m_data.filePath(QStringLiteral("shop.sqlite"));
        QVERIFY(test::makeSqliteDatabase(m_database, QStringLiteral("create table t(a); insert into t values (1);")));
        QApplication::setQuitOnLastWindowClosed(true);
    }

    void init() { m_app = std::make_unique<test::TestApp>(); }

    void cleanup()
    {
        test::closeAllWindows();
        m_app->database.reset();
        QFile::remove(SettingsStore().fileName());
    }

    void firstRunShowsEmptyPathBox()
    {
        Main(m_app->context);
        const QList<frmDB *> dialogs = openForms<frmDB>();
        QCOMPARE(dialogs.size(), 1);
        QCOMPARE(dialogs.first()->Text1->text(), QString());
        QCOMPARE(dialogs.first()->windowTitle(), QStringLiteral("Select Database"));
        QVERIFY(dialogs.first()->Text1->hasFocus() || QApplication::focusWidget() == nullptr);
        QVERIFY(dialogs.first()->Command1->isDefault());
    }

    void failedOpenWarnsAndKeepsTheDialog_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("why");
        QTest::newRow("missing file") << m_data.filePath(QStringLiteral("no-such.sqlite")) << "does not exist";
        QTest::newRow("empty path") << QString() << "no file name";
        QTest::newRow("directory") << m_data.path() << "not a regular file";
        QTest::newRow("text file") << m_data.filePath(QStringLiteral("notes.txt")) << "";
        QTest::newRow("zero-length file") << m_data.filePath(QStringLiteral("empty.sqlite")) << "";
        QTest::newRow("fifo") << m_data.filePath(QStringLiteral("pipe")) << "not a regular file";
        QTest::newRow("sqlite memory name") << QStringLiteral(":memory:") << "does not exist";
        QTest::newRow("sqlite uri") << QStringLiteral("file:made.sqlite?mode=rwc") << "does not exist";
        QTest::newRow("spaces around a missing name") << QStringLiteral("  shop.sqlite  ") << "does not exist";
    }

    void failedOpenWarnsAndKeepsTheDialog()
    {
        QFETCH(QString, typed);
        QFETCH(QString, why);
        test::writeFile(m_data.filePath(QStringLiteral("notes.txt")), "select * from t;\n");
        test::writeFile(m_data.filePath(QStringLiteral("empty.sqlite")), "");
        if (!QFileInfo::exists(m_data.filePath(QStringLiteral("pipe"))))
            QCOMPARE(::mkfifo(QFile::encodeName(m_data.filePath(QStringLiteral("pipe"))).constData(), 0600), 0);
        SettingsStore().setDatabasePath(QStringLiteral("the earlier path"));
        // Relative names resolve in the data folder, so a created file would show there.
        const QString previousFolder = QDir::currentPath();
        QDir::setCurrent(m_data.path());
        const QStringList before = folderEntries(m_data.path());

        Main(m_app->context);
        frmDB *dialog = openForms<frmDB>().value(0);
        QVERIFY(dialog);
        QCOMPARE(dialog->Text1->text(), QStringLiteral("the earlier path"));
        dialog->Text1->setText(typed);
        test::WarningCatcher warnings;
        dialog->Command1->click();
        QDir::setCurrent(previousFolder);

        QCOMPARE(warnings.messages(), QStringList{QStringLiteral("Database was not found.")});
        // The reason, in the engine's words, lies behind the message.
        QVERIFY2(!warnings.descriptions().value(0).isEmpty() && warnings.descriptions().value(0).contains(why),
                 qPrintable(warnings.descriptions().value(0)));
        QVERIFY(warnings.lastHadNoOwner());
        QCOMPARE(openForms<frmDB>(), QList<frmDB *>{dialog});
        QCOMPARE(dialog->Text1->text(), typed);
        QVERIFY(openForms<frmMain>().isEmpty());
        QVERIFY(!m_app->database);
        QCOMPARE(SettingsStore().databasePath(), QStringLiteral("the earlier path"));
        QCOMPARE(folderEntries(m_data.path()), before);
    }

    void successfulOpenSavesThePathAndSwapsWindows()
    {
        // A name with spaces at both ends, typed relative to the current folder.
        const QString spaced = QStringLiteral("  spaced shop.sqlite ");
        QVERIFY(QFile::copy(m_database, m_data.filePath(spaced)));
        const QString previousFolder = QDir::currentPath();
        QDir::setCurrent(m_data.path());
        test::WarningCatcher warnings;
        QPointer<frmDB> dialog;
        bool dialogGone = false;
        QString caption;
        // The program keeps running across the swap of windows: it ends only
        // when the query window, closed here, was the last one.
        const int exitCode = runApplication([&] {
            Main(m_app->context);
            dialog = openForms<frmDB>().value(0);
            dialog->Text1->setText(spaced);
            dialog->Command1->click();
            QTimer::singleShot(50, qApp, [&] {
                dialogGone = dialog.isNull();
                const QList<frmMain *> windows = openForms<frmMain>();
                if (windows.size() == 1) {
                    caption = windows.first()->windowTitle();
                    windows.first()->close();
                }
            });
        });
        QDir::setCurrent(previousFolder);

        QCOMPARE(exitCode, 0);
        QVERIFY(warnings.messages().isEmpty());
        QVERIFY(dialogGone);
        QCOMPARE(caption, QStringLiteral("Morvane 1.0.6"));
        QVERIFY(m_app->database);
        QCOMPARE(SettingsStore().databasePath(), spaced);

        // The next start offers the remembered path.
        Main(m_app->context);
        QCOMPARE(openForms<frmDB>().value(0)->Text1->text(), spaced);
    }

    void enterOpensAndEscapeCancels()
    {
        Main(m_app->context);
        frmDB *dialog = openForms<frmDB>().value(0);
        QVERIFY(dialog);
        dialog->Text1->setText(m_database);
        dialog->activateWindow();
        dialog->Text1->setFocus();
        QTest::keyClick(dialog->Text1, Qt::Key_Return);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(openForms<frmDB>().isEmpty());
        QCOMPARE(openForms<frmMain>().size(), 1);
        openForms<frmMain>().first()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        // Esc, Cancel and the close box each end the program, saving nothing.
        using Closer = std::function<void(frmDB *)>;
        const QList<Closer> closers{
            [](frmDB *dialog) { QTest::keyClick(dialog->Text1, Qt::Key_Escape); },
            [](frmDB *dialog) { dialog->Command2->click(); },
            [](frmDB *dialog) { dialog->close(); },
        };
        for (const Closer &closeDialog : closers) {
            QPointer<frmDB> cancelled;
            const int exitCode = runApplication([&] {
                Main(m_app->context);
                cancelled = openForms<frmDB>().value(0);
                cancelled->Text1->setText(QStringLiteral("typed but never opened"));
                closeDialog(cancelled);
            });
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCOMPARE(exitCode, 0);
            QVERIFY(cancelled.isNull());
            QCOMPARE(SettingsStore().databasePath(), m_database);
        }
    }

    void warningKeysAndItsOneLineLabel()
    {
        // Esc leaves the warning open; Enter and Space close it.
        for (const Qt::Key closingKey : {Qt::Key_Return, Qt::Key_Space}) {
            int escapesSurvived = 0;
            test::WarningCatcher warnings([&](frmVidvorun *warning) {
                QTest::keyClick(warning->Command1, Qt::Key_Escape);
                if (warning->isVisible())
                    ++escapesSurvived;
                QVERIFY(warning->Command1->hasFocus());
                QTest::keyClick(warning->Command1, closingKey);
            });
            frmVidvorun::showWarning(QStringLiteral("First"));
            QCOMPARE(escapesSurvived, 1);
            QCOMPARE(warnings.messages(), QStringList{QStringLiteral("First")});
        }

        // A message far longer than the label stays one line, cut at the window's edge.
        const QString longMessage = QStringLiteral("Error in database. ") + QString(400, u'x');
        test::WarningCatcher warnings;
        frmVidvorun::showWarning(longMessage);
        frmVidvorun::showWarning();
        QCOMPARE(warnings.messages(), (QStringList{longMessage, QStringLiteral("Database was not found.")}));
        QVERIFY(!warnings.lastWordWrap());
        frmVidvorun probe;
        QCOMPARE(warnings.lastLabelGeometry(), probe.Label1->geometry());
        QCOMPARE(warnings.lastLabelGeometry().height(), 19);
        QVERIFY(warnings.lastLabelGeometry().right() >= warnings.lastDialogSize().width());
        QCOMPARE(probe.windowTitle(), QStringLiteral("Viðvörun"));
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
    QTemporaryDir m_data;
    QString m_database;
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"

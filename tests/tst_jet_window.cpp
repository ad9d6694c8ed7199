// Access files in the windows: open from the dialog, query in the query
// window as on an SQLite file, refused writes, and damaged files.
#include "StartUp.h"
#include "TestSupport.h"
#include "frmPassword.h"

#include <QLineEdit>

using namespace morvane;

namespace {

const QString jetData = QStringLiteral(MORVANE_TEST_DATA "/jet/");
const QString hangData = QStringLiteral(MORVANE_TEST_DATA "/jet-hangs/");

} // namespace

class JetWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        m_app = std::make_unique<test::TestApp>();
    }

    void cleanup()
    {
        test::closeAllWindows();
        m_app->database.reset();
    }

    void getAndExecuteOnAnAccessFile()
    {
        const QString path = jetData + QStringLiteral("rows512-jet4.mdb");
        const QByteArray before = test::checksum(path);
        test::WarningCatcher warnings;
        frmMain *window = test::openThroughDialog(m_app->context, path);
        QVERIFY(window);
        QCOMPARE(SettingsStore().databasePath(), path);

        test::get(window, QStringLiteral("select CD_AGENTE, RS_AGENTE from Table1 order by CD_AGENTE"));
        QCOMPARE(warnings.messages(), QStringList());
        QCOMPARE(test::gridRowCount(window->resultGrid), 512);
        QCOMPARE(window->countLabel->text(), QStringLiteral("512 items found."));
        QCOMPARE(test::gridHeaders(window->resultGrid).at(0), QStringLiteral("cd_agente"));

        // Grouping and the count over a derived table work as on SQLite.
        test::get(window, QStringLiteral("select length(rs_agente) as len, count(*) as n from table1 group by 1 order by 1"));
        QCOMPARE(warnings.messages(), QStringList());
        QCOMPARE(test::gridRowCount(window->resultGrid), 1);
        QCOMPARE(window->countLabel->text(), QStringLiteral("1 item found."));

        test::execute(window, QStringLiteral("delete from Table1"));
        QCOMPARE(warnings.messages(), QStringList{QStringLiteral("Error in database")});

        test::get(window, QStringLiteral("select count(*) as n from Table1"));
        QCOMPARE(test::gridRow(window->resultGrid, 0).at(0), QStringLiteral("512"));
        window->close();
        QCOMPARE(test::checksum(path), before);
    }

    // A damaged file fails at its opening or at its first query, and says so
    // (every such file, in bounded time: tst_jet_damaged).
    void damagedFilesAreRefusedAndTheNextOpenWorks()
    {
        const QStringList hangs = QDir(hangData).entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name).mid(0, 2);
        QCOMPARE(hangs.size(), 2);
        test::WarningCatcher warnings;
        Main(m_app->context);
        for (const QString &name : hangs) {
            frmDB *dialog = test::visibleForm<frmDB>();
            QVERIFY(dialog);
            dialog->Text1->setText(hangData + name);
            dialog->Command1->click();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (frmMain *window = test::visibleForm<frmMain>()) {
                // A file whose catalog reads may still fail at its first query.
                test::get(window, QStringLiteral("select * from msysobjects"));
                window->close();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                Main(m_app->context);
            }
        }
        QCOMPARE(warnings.messages().size(), 2);
        for (const QString &message : warnings.messages())
            QVERIFY2(message == QStringLiteral("Database was not found.") || message.startsWith(QStringLiteral("Error in database. ")),
                     qPrintable(message));
        test::visibleForm<frmDB>()->close();
        QVERIFY(test::openThroughDialog(m_app->context, jetData + QStringLiteral("types-jet3.mdb")));
        QCOMPARE(SettingsStore().databasePath(), jetData + QStringLiteral("types-jet3.mdb"));
    }

    // A file encrypted with a password asks for it: cancelled, then answered
    // wrongly, each ends in the warning with its reason and the selection
    // dialog stays; the right password opens the file.
    void encryptedFileAsksForItsPassword()
    {
        const QString path = jetData + QStringLiteral("agile-ace14.accdb");
        QStringList answers = {QString(), QStringLiteral("secret"), QStringLiteral("password")};
        QStringList asked;
        QPointer<frmPassword> handled;
        QTimer answering;
        connect(&answering, &QTimer::timeout, this, [&] {
            auto *prompt = qobject_cast<frmPassword *>(QApplication::activeModalWidget());
            if (!prompt || !prompt->isVisible() || prompt == handled || answers.isEmpty())
                return;
            handled = prompt;
            asked << prompt->Label1->text();
            QCOMPARE(prompt->Text1->echoMode(), QLineEdit::Password);
            // Not the open's wait cursor while the user types.
            QVERIFY(QGuiApplication::overrideCursor());
            QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::ArrowCursor);
            const QString answer = answers.takeFirst();
            if (answer.isNull()) {
                prompt->Command2->click();
                return;
            }
            QTest::keyClicks(prompt->Text1, answer);
            QTest::keyClick(prompt->Text1, Qt::Key_Return);
        });
        answering.start(5);
        test::WarningCatcher warnings;
        Main(m_app->context);
        frmDB *dialog = test::visibleForm<frmDB>();
        QVERIFY(dialog);
        dialog->Text1->setText(path);
        for (const QString &why : {QStringLiteral("a password is needed."), QStringLiteral("wrong password.")}) {
            dialog->Command1->click();
            QCOMPARE(warnings.messages().last(), QStringLiteral("Database was not found."));
            QVERIFY2(warnings.descriptions().last().endsWith(why), qPrintable(warnings.descriptions().last()));
            QCOMPARE(test::visibleForm<frmDB>(), dialog);
        }
        dialog->Command1->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        frmMain *window = test::visibleForm<frmMain>();
        QVERIFY(window);
        QCOMPARE(warnings.messages().size(), 2);
        QCOMPARE(asked.size(), 3);
        QCOMPARE(asked.first(), QStringLiteral("agile-ace14.accdb is encrypted with a password."));
        test::get(window, QStringLiteral("select Data from Table1 order by ID"));
        QCOMPARE(test::gridRow(window->resultGrid, 2).at(0), QStringLiteral("Three"));
        // The path is remembered; the password is not.
        QCOMPARE(SettingsStore().databasePath(), path);
        QFile settings(SettingsStore().fileName());
        QVERIFY(settings.open(QIODevice::ReadOnly));
        const QByteArray stored = settings.readAll();
        QVERIFY(stored.contains("agile-ace14.accdb") && !stored.contains("password") && !stored.contains("secret"));
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
};

QTEST_MAIN(JetWindowTest)
#include "tst_jet_window.moc"

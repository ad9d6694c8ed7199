// Access files in the windows: open from the dialog, query in the query
// window as on an SQLite file, refused writes, and damaged files.
#include "StartUp.h"
#include "TestSupport.h"

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
            dialog->pathBox->setText(hangData + name);
            dialog->openButton->click();
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

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
};

QTEST_MAIN(JetWindowTest)
#include "tst_jet_window.moc"

// Access files in the windows: open from the dialog, query in the query
// window as on an SQLite file, refused writes, and damaged files.
#include "DatabaseEngine.h"
#include "OutlineList.h"
#include "SettingsStore.h"
#include "TestSupport.h"
#include "WarningCatcher.h"
#include "frmDB.h"
#include "frmMain.h"
#include "StartUp.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include "StatementBox.h"
#include <QPushButton>
#include <QtTest>

using namespace morvane;

namespace {

const QString jetData = QStringLiteral(MORVANE_TEST_DATA "/jet/");
const QString hangData = QStringLiteral(MORVANE_TEST_DATA "/jet-hangs/");

QByteArray checksum(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

frmDB *openDialog()
{
    return test::visibleForm<frmDB>();
}

frmMain *queryWindow()
{
    return test::visibleForm<frmMain>();
}

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
        for (QWidget *widget : QApplication::topLevelWidgets())
            widget->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_app->database.reset();
    }

    void getAndExecuteOnAnAccessFile()
    {
        const QString path = jetData + QStringLiteral("rows512-jet4.mdb");
        const QByteArray before = checksum(path);
        Main(m_app->context);
        frmDB *dialog = openDialog();
        QVERIFY(dialog);
        dialog->Text1->setText(path);
        test::WarningCatcher warnings;
        dialog->Command1->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        frmMain *window = queryWindow();
        QVERIFY(window);
        QCOMPARE(SettingsStore().databasePath(), path);

        window->txtSelect->setPlainText(QStringLiteral("select CD_AGENTE, RS_AGENTE from Table1 order by CD_AGENTE"));
        window->getButton->click();
        QCOMPARE(warnings.messages(), QStringList());
        QCOMPARE(test::gridRowCount(window->resultGrid), 512);
        QCOMPARE(window->countLabel->text(), QStringLiteral("512 items found."));
        QCOMPARE(test::gridHeaders(window->resultGrid).at(0), QStringLiteral("cd_agente"));

        // Grouping and the count over a derived table work as on SQLite.
        window->txtSelect->setPlainText(QStringLiteral("select length(rs_agente) as len, count(*) as n from table1 group by 1 order by 1"));
        window->getButton->click();
        QCOMPARE(warnings.messages(), QStringList());
        QVERIFY(test::gridRowCount(window->resultGrid) > 0);
        QVERIFY(window->countLabel->text().endsWith(QStringLiteral(" found.")));

        window->txtExecute->setPlainText(QStringLiteral("delete from Table1"));
        window->cmdExecute->click();
        QCOMPARE(warnings.messages(), QStringList{QStringLiteral("Error in database")});

        window->txtSelect->setPlainText(QStringLiteral("select count(*) as n from Table1"));
        window->getButton->click();
        QCOMPARE(test::gridRow(window->resultGrid, 0).at(0), QStringLiteral("512"));
        window->close();
        QCOMPARE(checksum(path), before);
    }

    void joinsInTheGrid()
    {
        m_app->database = DatabaseEngine::openDatabase(jetData + QStringLiteral("three-tables-ace14.accdb"), m_app->context.timeouts);
        frmMain window(m_app->context);
        window.show();
        window.txtSelect->setPlainText(QStringLiteral(
            "select t1.id, t2.data as other from [Table1] t1, Table2 t2 where t2.id = t1.otherfk1 order by t1.id"));
        test::WarningCatcher warnings;
        window.getButton->click();
        QCOMPARE(warnings.messages(), QStringList());
        QCOMPARE(test::gridRowCount(window.resultGrid), 4);
        QCOMPARE(test::gridHeaders(window.resultGrid).at(1), QStringLiteral("other"));
        QCOMPARE(test::gridRow(window.resultGrid, 2).at(1), QStringLiteral("foo1"));
        QCOMPARE(test::gridRow(window.resultGrid, 3).at(1), QStringLiteral("foo2"));
        QCOMPARE(window.countLabel->text(), QStringLiteral("4 items found."));
    }

    void damagedFilesAreRefusedAndTheNextOpenWorks()
    {
        const QStringList hangs = QDir(hangData).entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
        QVERIFY(!hangs.isEmpty());
        Main(m_app->context);
        frmDB *dialog = openDialog();
        QVERIFY(dialog);
        test::WarningCatcher warnings;
        for (const QString &name : hangs) {
            dialog->Text1->setText(hangData + name);
            dialog->Command1->click();
            if (!queryWindow())
                continue;
            // A file whose catalog reads may still fail at its first query.
            frmMain *window = queryWindow();
            window->txtSelect->setPlainText(QStringLiteral("select * from msysobjects"));
            window->getButton->click();
            window->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            Main(m_app->context);
            dialog = openDialog();
        }
        QVERIFY(!warnings.messages().isEmpty());
        for (const QString &message : warnings.messages())
            QVERIFY2(message == QStringLiteral("Database was not found.") || message.startsWith(QStringLiteral("Error in database. ")),
                     qPrintable(message));
        dialog->Text1->setText(jetData + QStringLiteral("types-jet3.mdb"));
        dialog->Command1->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(queryWindow());
        QCOMPARE(SettingsStore().databasePath(), jetData + QStringLiteral("types-jet3.mdb"));
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
};

QTEST_MAIN(JetWindowTest)
#include "tst_jet_window.moc"

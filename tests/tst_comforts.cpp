// The small comforts: the path box completes file names and takes a file
// dropped on the selection dialog.
#include "SqliteFixture.h"
#include "TestSupport.h"
#include "WarningCatcher.h"
#include "frmDB.h"
#include "frmMain.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QtTest>

using namespace morvane;

class ComfortsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        m_app = std::make_unique<test::TestApp>();
        QVERIFY(m_files.isValid());
        for (const char *name : {"alpha.sqlite", "alpine.mdb", "beta.db"}) {
            QFile file(m_files.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir(m_files.path()).mkdir(QStringLiteral("almanac")));
    }

    void pathBoxCompletesFileNames()
    {
        test::WarningCatcher warnings;
        frmDB dialog(m_app->context);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QLineEdit *box = dialog.Text1;
        box->clear();
        const QString typed = m_files.path() + QStringLiteral("/alp");
        QTest::keyClicks(box, typed);

        // The folder is read in the background; the choices follow.
        QCompleter *completer = box->completer();
        QVERIFY(completer);
        QTRY_VERIFY(completer->popup()->isVisible() && completer->completionCount() == 2);
        QStringList offered;
        for (int row = 0; row < completer->completionCount(); ++row) {
            completer->setCurrentRow(row);
            offered << completer->currentCompletion();
        }
        offered.sort();
        QCOMPARE(offered, (QStringList{m_files.filePath(QStringLiteral("alpha.sqlite")), m_files.filePath(QStringLiteral("alpine.mdb"))}));
        // Offering changes nothing the user typed.
        QCOMPARE(box->text(), typed);

        // Enter in the list takes the choice and does not press Open.
        QTest::keyClick(completer->popup(), Qt::Key_Down);
        QTest::keyClick(completer->popup(), Qt::Key_Return);
        QTRY_VERIFY(!completer->popup()->isVisible());
        QVERIFY(box->text() == m_files.filePath(QStringLiteral("alpha.sqlite"))
                || box->text() == m_files.filePath(QStringLiteral("alpine.mdb")));
        QVERIFY(dialog.isVisible());
        QVERIFY(!m_app->database);
        QCOMPARE(warnings.messages(), QStringList());

        // A folder completes too, so the user can walk down into it.
        box->clear();
        QTest::keyClicks(box, m_files.path() + QStringLiteral("/alm"));
        QTRY_COMPARE(completer->completionCount(), 1);
        QCOMPARE(completer->currentCompletion(), m_files.filePath(QStringLiteral("almanac")));
    }

    void enterWithTheListOpenStillOpens()
    {
        const QString database = m_files.filePath(QStringLiteral("gamma.sqlite"));
        QVERIFY(test::makeSqliteDatabase(database, QStringLiteral("create table t(x)")));
        test::WarningCatcher warnings;
        frmDB dialog(m_app->context);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.Text1->clear();
        QTest::keyClicks(dialog.Text1, database);
        QCompleter *completer = dialog.Text1->completer();
        QTRY_VERIFY(completer->popup()->isVisible());

        // Nothing in the list is highlighted: Enter opens, as in the box alone.
        QTest::keyClick(completer->popup(), Qt::Key_Return);
        QTRY_VERIFY(m_app->database);
        QCOMPARE(dialog.Text1->text(), database);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(warnings.messages(), QStringList());
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (qobject_cast<frmMain *>(window))
                window->close();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_app->database.reset();
    }

    void droppedFilesAndAddresses_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<bool>("taken");
        const QUrl file = QUrl::fromLocalFile(m_files.filePath(QStringLiteral("beta.db")));
        const QUrl web(QStringLiteral("https://example.com/shop.sqlite"));
        QTest::newRow("local file onto the path box") << "Text1" << file << true;
        QTest::newRow("local file onto the label") << "Label1" << file << true;
        QTest::newRow("local file onto the Cancel button") << "Command2" << file << true;
        QTest::newRow("web address onto the path box") << "Text1" << web << false;
        QTest::newRow("web address onto the label") << "Label1" << web << false;
        QTest::newRow("remote file address onto the path box")
            << "Text1" << QUrl(QStringLiteral("sftp://host/data/shop.sqlite")) << false;
    }

    void droppedFilesAndAddresses()
    {
        QFETCH(QString, target);
        QFETCH(QUrl, url);
        QFETCH(bool, taken);
        frmDB dialog(m_app->context);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QString before = QStringLiteral("/where/it/was.sqlite");
        dialog.Text1->setText(before);

        // A file manager offers the address both as a URL and as text.
        QMimeData data;
        data.setUrls({url});
        data.setText(url.toString());
        const auto *widget = dialog.findChild<QWidget *>(target);
        QVERIFY(widget);
        // Through the window, which routes the drag to the widget under it,
        // as a real drag is routed.
        const QPointF at = widget->mapTo(&dialog, widget->rect().center());
        QWindow *window = dialog.windowHandle();
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &enter);
        QCOMPARE(enter.isAccepted(), taken);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &drop);
        QCOMPARE(dialog.Text1->text(), taken ? url.toLocalFile() : before);
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
    QTemporaryDir m_files;
};

QTEST_MAIN(ComfortsTest)
#include "tst_comforts.moc"

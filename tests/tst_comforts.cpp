// The small comforts: the path box completes file names and takes a file
// dropped on the selection dialog; the result grid copies rows for a
// spreadsheet and shows a cut-off cell's whole text as its tooltip.
#include "QueryResult.h"
#include "TestSupport.h"

#include <QClipboard>
#include <QCompleter>
#include <QHeaderView>
#include <QMimeData>
#include <QTextDocument>
#include <QToolTip>

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
        for (const char *name : {"alpha.sqlite", "alpine.mdb", "beta.db"})
            test::writeFile(m_files.filePath(QString::fromLatin1(name)), {});
        QVERIFY(QDir(m_files.path()).mkdir(QStringLiteral("almanac")));
    }

    void pathBoxCompletesFileNames()
    {
        test::WarningCatcher warnings;
        frmDB dialog(m_app->context);
        QVERIFY(test::showAndWait(&dialog, true));
        QLineEdit *box = dialog.pathBox;
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
        QVERIFY(test::showAndWait(&dialog, true));
        dialog.pathBox->clear();
        QTest::keyClicks(dialog.pathBox, database);
        QCompleter *completer = dialog.pathBox->completer();
        QTRY_VERIFY(completer->popup()->isVisible());

        // Nothing in the list is highlighted: Enter opens, as in the box alone.
        QTest::keyClick(completer->popup(), Qt::Key_Return);
        QTRY_VERIFY(m_app->database);
        QCOMPARE(dialog.pathBox->text(), database);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(warnings.messages(), QStringList());
        test::closeAllWindows();
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
        QVERIFY(test::showAndWait(&dialog));
        const QString before = QStringLiteral("/where/it/was.sqlite");
        dialog.pathBox->setText(before);

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
        QCOMPARE(dialog.pathBox->text(), taken ? url.toLocalFile() : before);
    }

    void copyForSpreadsheets_data()
    {
        QTest::addColumn<QStringList>("cells");
        QTest::addColumn<QList<bool>>("nulls");
        QTest::addColumn<QString>("copied");
        const QList<bool> none{false, false};
        QTest::newRow("Null is an empty cell") << QStringList{"7", "Null"} << QList<bool>{false, true} << "id\tcity\n7\t\n";
        QTest::newRow("the text Null is kept") << QStringList{"7", "Null"} << none << "id\tcity\n7\tNull\n";
        QTest::newRow("tab inside a value") << QStringList{"7", "a\tb"} << none << "id\tcity\n7\t\"a\tb\"\n";
        QTest::newRow("line break inside a value") << QStringList{"7", "a\nb"} << none << "id\tcity\n7\t\"a\nb\"\n";
        QTest::newRow("carriage return inside a value") << QStringList{"7", "a\r\nb"} << none << "id\tcity\n7\t\"a\r\nb\"\n";
        QTest::newRow("quotes are doubled") << QStringList{"7", "say \"hi\""} << none << "id\tcity\n7\t\"say \"\"hi\"\"\"\n";
        QTest::newRow("a lone quote inside") << QStringList{"7", "5'11\""} << none << "id\tcity\n7\t\"5'11\"\"\"\n";
        QTest::newRow("empty text") << QStringList{"", "x"} << none << "id\tcity\n\tx\n";
    }

    void copyForSpreadsheets()
    {
        QFETCH(QStringList, cells);
        QFETCH(QList<bool>, nulls);
        QFETCH(QString, copied);
        ResultGrid grid(nullptr);
        grid.setResult(test::makeResult({QStringLiteral("id"), QStringLiteral("city")}, cells, nulls));
        QVERIFY(test::showAndWait(&grid));
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.visualRect(grid.model()->index(0, 1)).center());
        QTest::keyClick(&grid, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    }

    void copyTakesTheSelectedRowsInOrder()
    {
        ResultGrid grid(nullptr);
        const QStringList cells{"1", "a", "2", "b", "3", "c", "4", "d"};
        grid.setResult(test::makeResult({QStringLiteral("n"), QStringLiteral("t")}, cells));
        QVERIFY(test::showAndWait(&grid));
        const auto click = [&grid](int row, Qt::KeyboardModifiers modifiers) {
            QTest::mouseClick(grid.viewport(), Qt::LeftButton, modifiers, grid.visualRect(grid.model()->index(row, 0)).center());
        };
        const auto copy = [&grid] {
            QTest::keyClick(&grid, Qt::Key_C, Qt::ControlModifier);
            return QGuiApplication::clipboard()->text();
        };

        // Nothing selected: the clipboard keeps what it had.
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        QCOMPARE(copy(), QStringLiteral("before"));
        // Ctrl adds rows; the copy follows the grid's order, not the clicks'.
        click(3, {});
        click(1, Qt::ControlModifier);
        QCOMPARE(copy(), QStringLiteral("n\tt\n2\tb\n4\td\n"));
        click(0, {});
        click(2, Qt::ShiftModifier);
        QCOMPARE(copy(), QStringLiteral("n\tt\n1\ta\n2\tb\n3\tc\n"));
        QTest::keyClick(&grid, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(copy(), QStringLiteral("n\tt\n1\ta\n2\tb\n3\tc\n4\td\n"));
    }

    void tooltipOnlyOnACutOffCell_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("cutOff");
        QTest::newRow("fits its column") << "short" << false;
        QTest::newRow("wider than its column") << "a text far too long for the narrow column it sits in" << true;
        QTest::newRow("markup stays text") << "<b>not bold</b> and far too long for the column" << true;
        QTest::newRow("a second line below the row") << "one\ntwo" << true;
    }

    void tooltipOnlyOnACutOffCell()
    {
        QFETCH(QString, text);
        QFETCH(bool, cutOff);
        QToolTip::hideText();
        QTRY_VERIFY(!QToolTip::isVisible());
        ResultGrid grid(nullptr);
        // Rows are as high as the first one, which holds one line of text.
        grid.setResult(test::makeResult({QStringLiteral("id"), QStringLiteral("note")}, {QStringLiteral("1"), QStringLiteral("x"), QStringLiteral("2"), text}));
        // Narrower than the long texts, wide enough for the short one.
        grid.header()->resizeSection(1, grid.fontMetrics().horizontalAdvance(QStringLiteral("short")) + 20);
        grid.resize(400, 150);
        QVERIFY(test::showAndWait(&grid));

        const QModelIndex cell = grid.model()->index(1, 1);
        QCOMPARE(grid.isCutOff(cell), cutOff);
        const QPoint at = grid.visualRect(cell).center();
        QHelpEvent help(QEvent::ToolTip, at, grid.viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid.viewport(), &help);
        QCOMPARE(QToolTip::isVisible(), cutOff);
        if (cutOff)
            QCOMPARE(QToolTip::text(), Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
    QTemporaryDir m_files;
};

QTEST_MAIN(ComfortsTest)
#include "tst_comforts.moc"

// The query window at work: Get into the grid, the count message, Execute,
// focus and the remembered statements, on a real SQLite file.
#include "OutlineList.h"
#include "QueryRun.h"
#include "TestSupport.h"

#include <QAccessible>
#include <qpa/qwindowsysteminterface.h>

using namespace morvane;

namespace {

QStringList outlineTexts(const OutlineList *outline)
{
    QStringList texts;
    for (int i = 0; i < outline->itemCount(); ++i) {
        const OutlineItem item = outline->item(i);
        texts.append(item.bold ? u'*' + item.text : item.text);
    }
    return texts;
}

// A text that measures exactly `pixels` in `font`, built from a wide and a
// narrow letter; empty when the font offers no such pair.
QString textOfWidth(const QFont &font, int pixels)
{
    const QFontMetrics metrics(font);
    for (const QChar wide : {u'W', u'M', u'm', u'0'}) {
        for (const QChar narrow : {u'i', u'l', u'.', u'1', u't'}) {
            for (int a = 0; a * metrics.horizontalAdvance(wide) <= pixels; ++a) {
                for (int b = 0; b < 200; ++b) {
                    const QString text = QString(a, wide) + QString(b, narrow);
                    const int width = metrics.horizontalAdvance(text);
                    if (width == pixels)
                        return text;
                    if (width > pixels)
                        break;
                }
            }
        }
    }
    return QString();
}

// Counts the paint events a window gets.
class PaintCounter : public QObject
{
public:
    PaintCounter(QWidget *window, int &paints) : m_paints(paints) { window->installEventFilter(this); }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++m_paints;
        return false;
    }

private:
    int &m_paints;
};

} // namespace

class QueryTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("query.sqlite"));
        QVERIFY(test::makeSqliteDatabase(m_path, QStringLiteral(
            "create table n(i integer primary key, grp integer, label text);"
            "with recursive c(i) as (select 1 union all select i + 1 from c where i < 40000)"
            "  insert into n select i, i % 1500, 'row ' || i from c;"
            "create table a(id integer, name text); create table b(id integer, a_id integer, note text);"
            "insert into a values (1, 'first'), (2, null), (3, '  spaced  ');"
            "insert into b values (10, 1, 'x'), (20, 2, 'y');")));
    }

    void init()
    {
        QFile::remove(SettingsStore().fileName());
        m_app = std::make_unique<test::TestApp>();
        m_app->database = DatabaseEngine::openDatabase(m_path, m_app->context.timeouts);
        m_window = std::make_unique<frmMain>(m_app->context);
        QVERIFY(test::showAndWait(m_window.get()));
        QApplication::setActiveWindow(m_window.get());
    }

    void cleanup()
    {
        m_window.reset();
        m_app->database.reset();
    }

    void countMessagesAndTheRowLimit_data()
    {
        QTest::addColumn<QString>("select");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("message");
        QTest::newRow("no rows") << "select i from n where i < 0" << 0 << "0 items found.";
        QTest::newRow("one row") << "select i from n where i = 7" << 1 << "1 item found.";
        QTest::newRow("twenty-one rows") << "select i from n where i <= 21" << 21 << "21 item found.";
        QTest::newRow("exactly 1000") << "select i from n where i <= 1000" << 1000 << "1000 items found.";
        QTest::newRow("1001 is singular") << "select i from n where i <= 1001" << 1000 << "1001 item found. The first 1000 are shown.";
        QTest::newRow("order by clause") << "select i from n where i <= 1200 order by i desc" << 1000 << "1200 items found. The first 1000 are shown.";
        QTest::newRow("limit") << "select i from n limit 1100" << 1000 << "1100 items found. The first 1000 are shown.";
        // Counting only the source rows would name all 40000 here, or the first group's 27.
        QTest::newRow("grouped") << "select grp, count(*) as c from n group by grp" << 1000 << "1500 items found. The first 1000 are shown.";
        QTest::newRow("grouped within the limit") << "select grp % 7 as g, count(*) as c from n group by grp % 7" << 7 << "7 items found.";
        QTest::newRow("distinct") << "select distinct grp from n where grp < 1100;" << 1000 << "1100 items found. The first 1000 are shown.";
        QTest::newRow("union") << "select i from n where i <= 600 union all select i from n where i <= 600" << 1000 << "1200 items found. The first 1000 are shown.";
        QTest::newRow("capitals and a trailing comment") << "SELECT I FROM N WHERE I <= 2000 -- all" << 1000 << "2000 items found. The first 1000 are shown.";
        QTest::newRow("count beyond 16 bits") << "select i from n" << 1000 << "Over 1000 items found.";
    }

    void countMessagesAndTheRowLimit()
    {
        QFETCH(QString, select);
        QFETCH(int, rows);
        QFETCH(QString, message);
        m_window->txtSelect->setPlainText(select);
        test::WarningCatcher warnings;
        m_window->getButton->click();
        QCOMPARE(warnings.messages(), QStringList());
        QCOMPARE(test::gridRowCount(m_window->resultGrid), rows);
        QCOMPARE(m_window->countLabel->text(), message);
        if (rows == 0)
            QCOMPARE(test::gridHeaders(m_window->resultGrid).size(), 0);
        QCOMPARE(SettingsStore().selectStatement(), select);
    }

    void cellsNullsAndColumnsFollowTheResult()
    {
        get(QStringLiteral("select id, name from a order by id"));
        const ResultGrid *grid = m_window->resultGrid;
        QCOMPARE(test::gridHeaders(grid), (QStringList{QStringLiteral("id"), QStringLiteral("name")}));
        QCOMPARE(test::gridRow(grid, 0), (QStringList{QStringLiteral("1"), QStringLiteral("first")}));
        QCOMPARE(test::gridRow(grid, 1), (QStringList{QStringLiteral("2"), QStringLiteral("Null")}));
        QCOMPARE(test::gridRow(grid, 2), (QStringList{QStringLiteral("3"), QStringLiteral("spaced")}));
        QCOMPARE(test::gridCellIsRed(grid, 1, 1), true);
        QVERIFY(!test::gridCellIsRed(grid, 1, 0));
        QCOMPARE(m_window->countLabel->text(), QStringLiteral("3 items found."));
        // A screen reader finds the same rows and cells in the grid named "Results".
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(m_window->resultGrid);
        QVERIFY(table && table->tableInterface());
        QCOMPARE(table->text(QAccessible::Name), QStringLiteral("Results"));
        QTRY_COMPARE(table->tableInterface()->rowCount(), 3);
        QCOMPARE(table->tableInterface()->cellAt(1, 1)->text(QAccessible::Name), QStringLiteral("Null"));

        // The Null colour reaches the first cell as well.
        get(QStringLiteral("select name, id from a where id = 2"));
        QCOMPARE(test::gridCellIsRed(grid, 0, 0), true);

        // The window hands QueryRun the outline's names (which wins: tst_queryrun).
        get(QStringLiteral("SELECT NOTE, A.NAME AS Who FROM A, B WHERE B.A_ID = A.ID ORDER BY 1"));
        QCOMPARE(test::gridHeaders(grid), (QStringList{QStringLiteral("note"), QStringLiteral("who")}));
        QCOMPARE(test::gridRow(grid, 0), (QStringList{QStringLiteral("x"), QStringLiteral("first")}));
    }

    void columnWidthsFollowTheirTexts()
    {
        const QString exact = textOfWidth(m_window->font(), 300);  // 4500 twips, 4800 with the margin
        const QString over = textOfWidth(m_window->font(), 301);   // 4815 with the margin
        if (exact.isEmpty() || over.isEmpty())
            QSKIP("the font offers no texts of the needed widths");
        const QString longHeader(60, u'm');
        QVERIFY(QFontMetrics(m_window->font()).horizontalAdvance(longHeader) * 15 + 300 > 4800);
        QVERIFY(test::makeSqliteDatabase(m_path, QStringLiteral(
            "drop table if exists w; create table w(k integer, a text, b text);"
            "insert into w values (1, '%1', 'x'), (2, 'y', '%1'), (3, 'y', '%2');").arg(exact, over)));
        const ResultGrid *grid = m_window->resultGrid;
        const float headerWidth = float(QFontMetrics(m_window->font()).horizontalAdvance(longHeader) * 15 + 300);

        // A cell of exactly 4800 widens a to 4800; b's wider header survives
        // it and drops to 4800 at the first cell that measures more.
        for (int rows : {1, 2, 3}) {
            get(QStringLiteral("select a, b as %1 from w where k <= %2 order by k").arg(longHeader).arg(rows));
            QCOMPARE(test::gridHeaders(grid).size(), 2);
            QCOMPARE(grid->columnWidth(0), 4800.0f);
            QCOMPARE(grid->columnWidth(1), rows < 3 ? headerWidth : 4800.0f);
        }
    }

    void widthsMatchMeasuringEveryCell()
    {
        // Kerning pairs, accents, characters beyond Latin-1 and spaces to trim.
        QStringList texts;
        const QStringList pieces{QStringLiteral("AV"), QStringLiteral("To"), QStringLiteral("Wa"), QStringLiteral("ffi"),
                                 QStringLiteral("LT"), QStringLiteral("ÆØÅ"), QStringLiteral("yÿ"), QStringLiteral("r."),
                                 QStringLiteral("Þó"), QStringLiteral("日本"), QStringLiteral("Ω"), QStringLiteral("  x  ")};
        // Every text stays under the 4800 bound, so the widest one decides.
        const QFontMetrics metrics(m_window->font());
        QString grown;
        for (int i = 0; i < 180; ++i) {
            grown += pieces[i % pieces.size()];
            if (metrics.horizontalAdvance(grown) > 250)
                grown = pieces[i % pieces.size()];
            texts.append(i % 3 == 0 ? grown : pieces[(i * 7) % pieces.size()].repeated(1 + i % 5));
        }
        QString sql = QStringLiteral("begin; drop table if exists k; create table k(n integer, a text, b text);");
        for (int i = 0; i < texts.size(); ++i)
            sql += QStringLiteral("insert into k values (%1, '%2', '%3');").arg(i).arg(texts[i], texts[texts.size() - 1 - i]);
        sql += QStringLiteral("commit;");
        QVERIFY(test::makeSqliteDatabase(m_path, sql));

        get(QStringLiteral("select a, b from k order by n"));
        const auto expectedWidth = [&](const QString &header, const QStringList &cells) {
            float width = float(metrics.horizontalAdvance(header) * 15 + 300);
            for (const QString &cell : cells) {
                const float cellWidth = float(metrics.horizontalAdvance(QString(cell).trimmed()) * 15 + 300);
                if (cellWidth > 4800)
                    width = 4800;
                else if (cellWidth > width)
                    width = cellWidth;
            }
            return width;
        };
        QStringList reversed(texts.crbegin(), texts.crend());
        QVERIFY(expectedWidth(QStringLiteral("a"), texts) < 4800);
        QCOMPARE(m_window->resultGrid->columnWidth(0), expectedWidth(QStringLiteral("a"), texts));
        QCOMPARE(m_window->resultGrid->columnWidth(1), expectedWidth(QStringLiteral("b"), reversed));
    }

    void longTextsAreKeptAsTheirStart()
    {
        // The grid keeps the start of a long text and says how long it was;
        // it draws only what its widest column can show, and copies the rest.
        get(QStringLiteral("select printf('%.*c', 4000000, 'x') as t, 'short' as s"));
        const ResultGrid *grid = m_window->resultGrid;
        const QueryResult &kept = grid->rows().result();
        const QString start(QueryRun::longestCellText, u'x');
        QCOMPARE(kept.text(0, 0), start + QStringLiteral("... (4000000 characters)"));
        QCOMPARE(kept.text(0, 1), QStringLiteral("short"));
        QCOMPARE(test::gridRow(grid, 0), (QStringList{QString(QueryResult::shownLength, u'x'), QStringLiteral("short")}));
        QCOMPARE(grid->columnWidth(0), 4800.0f);
        QVERIFY(grid->isCutOff(grid->model()->index(0, 0)));
        QCOMPARE(grid->model()->index(0, 0).data(Qt::ToolTipRole).toString(), kept.text(0, 0));
        m_window->resultGrid->selectAll();
        QCOMPARE(grid->selectedRowsText(), QStringLiteral("t\ts\n") + kept.text(0, 0) + QStringLiteral("\tshort\n"));

        // A Get keeps the longer starts only until it holds its budget.
        get(QStringLiteral("select t as a, t as b, t as c, t as d, t as e, t as f, t as g, t as h, t as i, t as j "
                           "from (select printf('%.*c', 2001, 'z') as t from n where i <= 1000)"));
        qsizetype total = 0;
        for (const QString &cell : kept.cells)
            total += cell.size();
        QVERIFY(total < QueryRun::cellTextBudget + 10000 * 300);
        const QString marker = QStringLiteral("... (2001 characters)");
        QCOMPARE(kept.text(0, 0), QString(QueryRun::longestCellText, u'z') + marker);
        QCOMPARE(kept.text(999, 9), QString(QueryResult::shownLength, u'z') + marker);
    }

    void failuresWarnAndClearTheCount()
    {
        get(QStringLiteral("select id from a"));
        QCOMPARE(m_window->countLabel->text(), QStringLiteral("3 items found."));

        m_window->txtSelect->setPlainText(QStringLiteral("select id from missing_table"));
        test::WarningCatcher warnings;
        m_window->getButton->click();
        QCOMPARE(warnings.messages(), QStringList{QStringLiteral("Error in database. no such table: missing_table")});
        QCOMPARE(test::gridRowCount(m_window->resultGrid), 0);
        QCOMPARE(test::gridHeaders(m_window->resultGrid).size(), 0);
        QCOMPARE(m_window->countLabel->text(), QString());
        QCOMPARE(SettingsStore().selectStatement(), QStringLiteral("select id from missing_table"));

        // A run that fails in its third row shows the two rows read, and no
        // count: not the last statement's.
        get(QStringLiteral("select id from a"));
        get(QStringLiteral("select case when id = 3 then abs(-9223372036854775807 - 1) else id end as v from a"));
        QCOMPARE(warnings.messages().last(), QStringLiteral("Error in database. integer overflow"));
        QCOMPARE(test::gridRowCount(m_window->resultGrid), 2);
        QCOMPARE(m_window->countLabel->text(), QString());

        // An action statement typed into the select box is refused, not run.
        get(QStringLiteral("delete from a"));
        QCOMPARE(warnings.messages().size(), 3);
        QVERIFY(warnings.messages().last().startsWith(QStringLiteral("Error in database. ")));
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select count(*) from a")), QStringLiteral("3"));
    }

    void executeRunsActionStatements()
    {
        get(QStringLiteral("select note from b order by id"));
        const QStringList before = test::gridRow(m_window->resultGrid, 0);

        test::WarningCatcher warnings;
        execute(QStringLiteral("update b set note = 'changed' where id = 10"));
        QCOMPARE(warnings.messages(), QStringList());
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select note from b where id = 10")), QStringLiteral("changed"));
        // Success is silent: the grid still shows the last Get.
        QCOMPARE(test::gridRow(m_window->resultGrid, 0), before);
        QCOMPARE(m_window->countLabel->text(), QStringLiteral("2 items found."));
        QCOMPARE(m_window->txtExecute->toPlainText(), QStringLiteral("update b set note = 'changed' where id = 10"));
        m_window->getButton->click();
        QCOMPARE(test::gridRow(m_window->resultGrid, 0), QStringList{QStringLiteral("changed")});

        for (const QString &bad : {QStringLiteral("update nowhere set x = 1"), QString()}) {
            execute(bad);
            QCOMPARE(warnings.messages().last(), QStringLiteral("Error in database"));
            QCOMPARE(SettingsStore().executeStatement(), bad);
        }
        QCOMPARE(warnings.messages().size(), 2);
        execute(QStringLiteral("update b set note = 'x' where id = 10"));
    }

    void aSettingsStoreThatCannotBeWrittenStopsTheRun()
    {
        // A folder where the settings file belongs: no write can succeed,
        // whatever the user's rights.
        const QString file = SettingsStore().fileName();
        QFile::remove(file);
        QVERIFY(QDir().mkpath(file));
        test::WarningCatcher warnings;
        execute(QStringLiteral("delete from a"));
        get(QStringLiteral("select id from a"));
        QVERIFY(QDir(file).removeRecursively());

        QCOMPARE(warnings.messages().size(), 2);
        QCOMPARE(warnings.messages().first(), QStringLiteral("Error in database"));
        QVERIFY(warnings.messages().last().startsWith(QStringLiteral("Error in database. The settings could not be saved")));
        // Neither statement ran.
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select count(*) from a")), QStringLiteral("3"));
        QCOMPARE(m_window->countLabel->text(), QString());
    }

    void aSlowRunShowsProgressAndCancelLeavesTheFileAlone()
    {
        // During a run timers fire and the window repaints; Esc in the
        // progress window, or its Cancel, ends the run with the usual warning.
        // Keys typed before the progress window shows reach the select box
        // once the run has ended.
        m_app->context.progressDelayMs = 50;
        int ticks = 0;
        int paints = 0;
        int progressShown = 0;
        bool escape = true;
        PaintCounter counter(m_window.get(), paints);
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            ++ticks;
            m_window->update();
            auto *progress = QApplication::activeModalWidget();
            if (progress && progress->objectName() == QStringLiteral("frmProgress") && ticks > 5) {
                ++progressShown;
                auto *cancel = progress->findChild<QPushButton *>(QStringLiteral("cmdCancel"));
                if (escape && cancel->isEnabled())
                    typeKeys(progress->windowHandle(), {Qt::Key_Escape});
                else if (cancel->isEnabled())
                    cancel->click();
            }
        });
        watch.start(10);
        test::WarningCatcher warnings;
        const QString endless = QStringLiteral("with recursive c(i) as (select 1 union all select i + 1 from c) ");
        m_window->txtSelect->setPlainText(endless + QStringLiteral("select count(*) from c"));
        m_window->txtSelect->setCursorPosition(m_window->txtSelect->toPlainText().size());
        QTimer::singleShot(0, this, [this] { typeKeys(m_window->windowHandle(), {Qt::Key_A, Qt::Key_B, Qt::Key_C}); });
        m_window->getButton->click();
        QTRY_COMPARE(m_window->txtSelect->toPlainText(), endless + QStringLiteral("select count(*) from cabc"));
        m_window->txtSelect->setPlainText(endless + QStringLiteral("select count(*) from c"));
        escape = false;
        execute(QStringLiteral("insert into a ") + endless + QStringLiteral("select i, 'x' from c"));

        QVERIFY(progressShown >= 2);
        QVERIFY(paints > 2);
        QCOMPARE(warnings.messages(),
                 (QStringList{QStringLiteral("Error in database. The statement was cancelled."), QStringLiteral("Error in database")}));
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select count(*) from a")), QStringLiteral("3"));
        QCOMPARE(QApplication::activeModalWidget(), nullptr);

        // Closing the window during a run cancels it first, then closes.
        watch.disconnect();
        connect(&watch, &QTimer::timeout, this, [&] {
            if (QApplication::activeModalWidget())
                m_window->close();
        });
        m_window->getButton->click();
        QTRY_VERIFY(!m_window->isVisible());
        QCOMPARE(warnings.messages().size(), 2);
    }

    void enterFollowsTheFocus()
    {
        frmMain &window = *m_window;
        QCOMPARE(QApplication::focusWidget(), window.txtSelect);
        QVERIFY(window.getButton->isDefault());
        QVERIFY(!window.cmdExecute->isDefault());

        // Enter in the select box runs Get; Ctrl+Enter types a line break.
        window.txtSelect->clear();
        QTest::keyClicks(window.txtSelect, QStringLiteral("select id from a"));
        QTest::keyClick(window.txtSelect, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(window.txtSelect->toPlainText(), QStringLiteral("select id from a\n"));
        QCOMPARE(window.countLabel->text(), QString());
        QTest::keyClick(window.txtSelect, Qt::Key_Return);
        QCOMPARE(window.countLabel->text(), QStringLiteral("3 items found."));
        QCOMPARE(window.txtSelect->toPlainText(), QStringLiteral("select id from a\n"));
        QCOMPARE(SettingsStore().selectStatement(), QStringLiteral("select id from a\n"));

        // Tab to the Get button stores the statement and keeps Get the default.
        window.txtSelect->setPlainText(QStringLiteral("select name from a"));
        QTest::keyClick(window.txtSelect, Qt::Key_Tab);
        QCOMPARE(SettingsStore().selectStatement(), QStringLiteral("select name from a"));
        QVERIFY(window.getButton->isDefault());

        // Into the action box (the Tab order itself: tst_layout): Execute
        // becomes the default and Enter runs it, storing the statement first.
        QTest::keyClick(window.getButton, Qt::Key_Tab);
        QVERIFY(window.cmdExecute->isDefault());
        QVERIFY(!window.getButton->isDefault());
        QTest::keyClicks(window.txtExecute, QStringLiteral("insert into b values (30, 3, 'z')"));
        QTest::keyClick(window.txtExecute, Qt::Key_Return);
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select note from b where id = 30")), QStringLiteral("z"));
        QCOMPARE(SettingsStore().executeStatement(), QStringLiteral("insert into b values (30, 3, 'z')"));
        QCOMPARE(window.txtExecute->toPlainText(), QStringLiteral("insert into b values (30, 3, 'z')"));

        // Through the Execute button (still the default) into the outline: Get again.
        window.txtExecute->setPlainText(QStringLiteral("delete from b where id = 30"));
        QTest::keyClick(window.txtExecute, Qt::Key_Tab);
        QVERIFY(window.cmdExecute->isDefault());
        QCOMPARE(SettingsStore().executeStatement(), QStringLiteral("delete from b where id = 30"));
        QTest::keyClick(window.cmdExecute, Qt::Key_Tab);
        QVERIFY(window.getButton->isDefault());
        QTest::keyClick(window.outlineList, Qt::Key_Tab);
        QTest::keyClick(window.resultGrid, Qt::Key_Return);
        QCOMPARE(window.countLabel->text(), QStringLiteral("3 items found."));
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select count(*) from b where id = 30")), QStringLiteral("1"));
        test::makeSqliteDatabase(m_path, QStringLiteral("delete from b where id = 30"));
    }

    void statementsAreRememberedAndOutlined()
    {
        m_window->txtSelect->clear();
        QTest::keyClicks(m_window->txtSelect, QStringLiteral("SELECT a.x, Count(b) AS n FROM t1, t2"));
        QCOMPARE(outlineTexts(m_window->outlineList), (QStringList{"*Fields", "x", "n", "*Tables", "t1", "t2"}));
        QCOMPARE(m_window->fields(), (QStringList{QStringLiteral("x"), QStringLiteral("n")}));
        m_window->txtExecute->setPlainText(QStringLiteral("update a set name = 'q' where 0"));
        // Closing the window keeps both statements, typed but never run.
        m_window->close();
        QCOMPARE(SettingsStore().selectStatement(), QStringLiteral("SELECT a.x, Count(b) AS n FROM t1, t2"));
        QCOMPARE(SettingsStore().executeStatement(), QStringLiteral("update a set name = 'q' where 0"));

        // The next window restores them, its outline already built.
        frmMain next(m_app->context);
        QCOMPARE(next.txtSelect->toPlainText(), QStringLiteral("SELECT a.x, Count(b) AS n FROM t1, t2"));
        QCOMPARE(next.txtExecute->toPlainText(), QStringLiteral("update a set name = 'q' where 0"));
        QCOMPARE(outlineTexts(next.outlineList).size(), 6);
        QCOMPARE(next.fields(), (QStringList{QStringLiteral("x"), QStringLiteral("n")}));

        // An emptied box is remembered as empty.
        next.txtSelect->clear();
        QVERIFY(outlineTexts(next.outlineList).isEmpty());
        next.close();
        QCOMPARE(SettingsStore().selectStatement(), QString());
    }

private:
    void get(const QString &select) { test::get(m_window.get(), select); }

    // Keys as the window system hands them over: queued, and held back while
    // a run waits.
    static void typeKeys(QWindow *window, std::initializer_list<Qt::Key> keys)
    {
        for (const Qt::Key key : keys) {
            const QString text = key == Qt::Key_Escape ? QStringLiteral("\x1b") : QKeySequence(key).toString().toLower();
            for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease})
                QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(window, type, key, Qt::NoModifier, text);
        }
    }
    void execute(const QString &action) { test::execute(m_window.get(), action); }

    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<frmMain> m_window;
};

QTEST_MAIN(QueryTest)
#include "tst_query.moc"

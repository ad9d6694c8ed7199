// What a typed statement may do, met where the user meets it: Get never
// writes or changes the session, Execute leaves no transaction open and
// keeps the file's protections, no statement hands out or takes a memory
// address, and a count that does not end can be cancelled.
#include "TestSupport.h"

using namespace morvane;

namespace {

// Whether another program can take the write lock right now.
bool writableByOthers(const QString &path)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK
        && sqlite3_exec(db, "begin immediate", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_exec(db, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return ok;
}

// One warning as it was shown: its line and the description behind it.
struct Shown
{
    QString message;
    QString description;
};

// True when nothing was shown; what was shown goes to the test's log.
bool quiet(const QList<Shown> &shown)
{
    for (const Shown &warning : shown)
        qWarning("warning: %s (%s)", qPrintable(warning.message), qPrintable(warning.description));
    return shown.isEmpty();
}

// The settings that protect the file, which neither box may change.
void addProtectionRows()
{
    QTest::newRow("synchronous off") << "pragma synchronous=off" << "synchronous";
    QTest::newRow("trusted schema") << "pragma trusted_schema=1" << "trusted_schema";
    QTest::newRow("cell size check off") << "pragma cell_size_check=off" << "cell_size_check";
    QTest::newRow("exclusive locking") << "pragma locking_mode=exclusive" << "locking_mode";
    QTest::newRow("memory mapping") << "pragma mmap_size=268435456" << "mmap_size";
    QTest::newRow("query only") << "pragma query_only=1" << "query_only";
    QTest::newRow("writable schema") << "pragma writable_schema=1" << "writable_schema";
}

} // namespace

class GuardTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        QVERIFY(m_dir.isValid());
        m_other = m_dir.filePath(QStringLiteral("other.sqlite"));
        QVERIFY(test::makeSqliteDatabase(m_other, QStringLiteral("create table o(x);")));
        m_template = m_dir.filePath(QStringLiteral("template.sqlite"));
        QVERIFY(test::makeSqliteDatabase(m_template, QStringLiteral(
            "create table t(a);"
            "create virtual table ft using fts4(body); insert into ft values ('a b c');"
            "create table big(i integer primary key);"
            "with recursive c(i) as (select 1 union all select i + 1 from c where i < 1500)"
            "  insert into big select i from c;")));
    }

    void init()
    {
        // Each case gets its own copy, so a checksum compares with a file
        // that only this case used.
        static int number = 0;
        m_path = m_dir.filePath(QStringLiteral("guard%1.sqlite").arg(++number));
        QVERIFY(QFile::copy(m_template, m_path));
        openWindow(m_path);
    }

    void cleanup()
    {
        m_window.reset();
        m_app.reset();
    }

    void getRefusesWhatWouldChangeTheFileOrTheSession_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QString>("why");
        QTest::newRow("pragma optimize") << "pragma optimize" << "pragma optimize";
        QTest::newRow("optimize through its table") << "select * from pragma_optimize" << "pragma optimize";
        QTest::newRow("analyze") << "analyze" << "Execute";
        QTest::newRow("begin") << "begin" << "Transactions";
        QTest::newRow("begin immediate") << "begin immediate" << "Transactions";
        QTest::newRow("savepoint") << "savepoint s" << "Transactions";
        addProtectionRows();
        QTest::newRow("attach") << "attach '%other' as o" << "attached";
        QTest::newRow("temporary table") << "create temp table x(a)" << "Get only reads, and this statement would change the database's tables";
        QTest::newRow("table") << "create table x(a)" << "Get only reads, and this statement would change the database's tables";
        QTest::newRow("insert") << "insert into t values (1)" << "Get only reads, and this statement would change the data";
        QTest::newRow("a function that writes") << "select optimize(ft) from ft" << "Get only reads, and this statement would change the data";
    }

    void getRefusesWhatWouldChangeTheFileOrTheSession()
    {
        QFETCH(QString, statement);
        QFETCH(QString, why);
        const QByteArray before = test::checksum(m_path);
        const QList<Shown> shown = get(QString(statement).replace(QStringLiteral("%other"), m_other));
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].message.startsWith(QStringLiteral("Error in database. ")), qPrintable(shown[0].message));
        QVERIFY2(shown[0].message.contains(why), qPrintable(shown[0].message));
        QCOMPARE(test::checksum(m_path), before);
        QVERIFY(writableByOthers(m_path));
        // Every protection the file was opened with is still in force.
        QVERIFY(quiet(get(QStringLiteral(
            "select s.synchronous, q.query_only, c.cell_size_check, l.locking_mode, "
            "ts.trusted_schema, (select count(*) from pragma_database_list) "
            "from pragma_synchronous s, pragma_query_only q, pragma_cell_size_check c, "
            "pragma_locking_mode l, pragma_trusted_schema ts"))));
        QCOMPARE(firstRow(), (QStringList{"3", "0", "1", "normal", "0", "1"}));
    }

    void getReadsWhatAReaderNeeds_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QString>("first");
        QTest::newRow("table_info") << "pragma table_info(t)" << "0";
        QTest::newRow("table_info as a table") << "select name from pragma_table_info('t')" << "a";
        QTest::newRow("table_list") << "select name from pragma_table_list where name = 'big'" << "big";
        QTest::newRow("a setting read") << "pragma user_version" << "0";
        QTest::newRow("the journal mode") << "pragma journal_mode" << "delete";
        QTest::newRow("integrity check") << "pragma integrity_check" << "ok";
        QTest::newRow("a plain select") << "select count(*) from big" << "1500";
    }

    void getReadsWhatAReaderNeeds()
    {
        QFETCH(QString, statement);
        QFETCH(QString, first);
        const QByteArray before = test::checksum(m_path);
        QVERIFY(quiet(get(statement)));
        QCOMPARE(firstRow().value(0), first);
        QCOMPARE(test::checksum(m_path), before);
    }

    void executeLeavesNoTransactionAndKeepsTheProtections_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QString>("why");
        QTest::newRow("begin") << "begin" << "Transactions";
        QTest::newRow("begin exclusive") << "begin exclusive" << "Transactions";
        QTest::newRow("savepoint") << "savepoint s" << "Transactions";
        QTest::newRow("commit") << "commit" << "Transactions";
        QTest::newRow("rollback") << "rollback" << "Transactions";
        QTest::newRow("release") << "release s" << "Transactions";
        QTest::newRow("attach") << "attach '%other' as o" << "attached";
        QTest::newRow("detach") << "detach main" << "attached";
        addProtectionRows();
        QTest::newRow("schema version") << "pragma schema_version=1" << "schema_version";
        QTest::newRow("no journal") << "pragma journal_mode=off" << "journal";
        QTest::newRow("journal in memory") << "pragma journal_mode=memory" << "journal";
    }

    void executeLeavesNoTransactionAndKeepsTheProtections()
    {
        QFETCH(QString, statement);
        QFETCH(QString, why);
        const QList<Shown> shown = execute(QString(statement).replace(QStringLiteral("%other"), m_other));
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].message, QStringLiteral("Error in database"));
        QVERIFY2(shown[0].description.contains(why), qPrintable(shown[0].description));
        // The next change is on disk, for every other program, as soon as
        // Execute returns, and the file is not left locked.
        QVERIFY(quiet(execute(QStringLiteral("insert into t values (5)"))));
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select count(*) from t where a = 5")), QStringLiteral("1"));
        QVERIFY(writableByOthers(m_path));
        QVERIFY(quiet(get(QStringLiteral("select s.synchronous, l.locking_mode, (select count(*) from pragma_database_list) "
                                   "from pragma_synchronous s, pragma_locking_mode l"))));
        QCOMPARE(firstRow(), (QStringList{"3", "normal", "1"}));
    }

    void executeKeepsMaintenanceWorking()
    {
        for (const char *statement : {"create index big_i on big(i)", "vacuum", "pragma user_version = 7",
                                      "analyze", "pragma journal_mode = wal"})
            QVERIFY2(quiet(execute(QString::fromLatin1(statement))), statement);
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("pragma user_version")), QStringLiteral("7"));
        // In WAL mode a commit is durable with a full sync; back in rollback
        // mode the journal's folder is synced as well.
        QVERIFY(quiet(get(QStringLiteral("select synchronous from pragma_synchronous"))));
        QCOMPARE(firstRow(), QStringList{"2"});
        QVERIFY(quiet(execute(QStringLiteral("pragma journal_mode = delete"))));
        QVERIFY(quiet(get(QStringLiteral("select synchronous from pragma_synchronous"))));
        QCOMPARE(firstRow(), QStringList{"3"});
        QVERIFY(writableByOthers(m_path));
    }

    void noStatementHandsOutOrTakesAnAddress()
    {
        const QList<Shown> leak = get(QStringLiteral("select hex(fts3_tokenizer('simple'))"));
        QCOMPARE(leak.size(), 1);
        QVERIFY2(leak[0].message.contains(QStringLiteral("fts3_tokenizer")), qPrintable(leak[0].message));
        QCOMPARE(get(QStringLiteral("select fts3_tokenizer('simple', x'4141414141414141')")).size(), 1);
        QCOMPARE(execute(QStringLiteral("insert into t select fts3_tokenizer('simple')")).size(), 1);
        QCOMPARE(execute(QStringLiteral("insert into t select fts3_tokenizer('simple', x'4141414141414141')")).size(), 1);
        // The tokenizer that an address was offered for is still the real one.
        QVERIFY(quiet(execute(QStringLiteral("create virtual table f using fts3(a, tokenize=simple)"))));
        QVERIFY(quiet(execute(QStringLiteral("insert into f values ('hello world')"))));
        QVERIFY(quiet(get(QStringLiteral("select a from f where f match 'world'"))));
        QCOMPARE(firstRow(), QStringList{"hello world"});
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select count(*) from t")), QStringLiteral("0"));

        // The same on an Access file, whose tables SQLite answers for.
        openWindow(QStringLiteral(MORVANE_TEST_DATA "/jet/rows512-jet4.mdb"));
        QCOMPARE(get(QStringLiteral("select hex(fts3_tokenizer('simple'))")).size(), 1);
        QVERIFY(quiet(get(QStringLiteral("select count(*) from Table1"))));
        QCOMPARE(firstRow(), QStringList{"512"});
    }

    void anAccessStatementMayNameATableManyTimes()
    {
        openWindow(QStringLiteral(MORVANE_TEST_DATA "/jet/rows512-jet4.mdb"));
        QStringList tables;
        for (int i = 0; i < 12; ++i)
            tables << QStringLiteral("Table1 t%1").arg(i);
        QVERIFY(quiet(get(QStringLiteral("select t0.CD_AGENTE from ") + tables.join(QStringLiteral(", "))
                    + QStringLiteral(" limit 3"))));
        QCOMPARE(m_window->countLabel->text(), QStringLiteral("3 items found."));
    }

    // A semicolon with a line comment (tst_queryrun) and a line comment
    // without a line break (tst_query) are counted there.
    void theCountEndsAtATrailingComment_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::newRow("semicolon and block comment") << "select i from big; /* c */";
        QTest::newRow("block comment left open") << "select i from big /* c";
        QTest::newRow("semicolon, comment and spaces") << "select i from big ;\n -- c\n\t";
    }

    void theCountEndsAtATrailingComment()
    {
        QFETCH(QString, statement);
        QVERIFY(quiet(get(statement)));
        QCOMPARE(m_window->countLabel->text(), QStringLiteral("1500 items found. The first 1000 are shown."));
    }

    void aCountWithoutEndCanBeCancelled()
    {
        // The rows come at once; counting them all would take for ever.
        QTimer canceller;
        QObject::connect(&canceller, &QTimer::timeout, [] {
            QWidget *progress = QApplication::activeModalWidget();
            if (!progress || progress->objectName() != QStringLiteral("frmProgress"))
                return;
            if (auto *cancel = progress->findChild<QPushButton *>(QStringLiteral("cmdCancel")); cancel && cancel->isEnabled())
                cancel->click();
        });
        canceller.start(5);
        const QList<Shown> shown = get(QStringLiteral("select a.i from big a, big b, big c"));
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].message, QStringLiteral("Error in database. The statement was cancelled."));
        // The window and the database are ready for the next run.
        canceller.stop();
        QVERIFY(quiet(get(QStringLiteral("select count(*) from big"))));
        QCOMPARE(firstRow(), QStringList{"1500"});
    }

private:
    void openWindow(const QString &path)
    {
        cleanup();
        // A short wait before the progress window: a test that cancels does
        // not wait long for it.
        m_app = std::make_unique<test::TestApp>(30);
        m_app->database = DatabaseEngine::openDatabase(path, m_app->context.timeouts);
        m_window = std::make_unique<frmMain>(m_app->context);
        QVERIFY(test::showAndWait(m_window.get()));
    }

    // Runs a statement from the select box (Get) or the action box
    // (Execute), and answers the warnings it raises.
    QList<Shown> press(bool execute, const QString &statement)
    {
        test::WarningCatcher catcher;
        (execute ? test::execute : test::get)(m_window.get(), statement);
        QList<Shown> shown;
        for (qsizetype i = 0; i < catcher.messages().size(); ++i)
            shown.append({catcher.messages()[i], catcher.descriptions()[i]});
        return shown;
    }

    QList<Shown> get(const QString &statement) { return press(false, statement); }
    QList<Shown> execute(const QString &statement) { return press(true, statement); }

    QStringList firstRow() const
    {
        const QueryResult &result = m_window->resultGrid->rows().result();
        QStringList cells;
        for (int column = 0; result.rowCount > 0 && column < result.columnCount(); ++column)
            cells << result.text(0, column);
        return cells;
    }

    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    QTemporaryDir m_dir;
    QString m_path;
    QString m_other;
    QString m_template;
    std::unique_ptr<test::TestApp> m_app;
    std::unique_ptr<frmMain> m_window;
};

QTEST_MAIN(GuardTest)
#include "tst_guard.moc"

// Get on a large SQLite file, against SQLite's own C API in the same process,
// and the peak memory of a Get over a million rows against one over a
// thousand.
//
// bench_get [--only abcdm] [data folder]   the timed cases (a to d) and the memory comparison (m)
// bench_get --peak <table> <data folder>   (internal) one Get in a fresh process, prints VmHWM
#include "BenchSupport.h"
#include "DatabaseEngine.h"
#include "Design.h"
#include "BenchApp.h"
#include "ResultGrid.h"
#include "ResultModel.h"
#include "frmMain.h"
#include "mdlMain.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include "StatementBox.h"
#include <QPushButton>
#include <QThread>
#include <QWindow>

#include <sqlite3.h>

#include <cstdio>
#include <memory>

using namespace morvane;
using namespace morvane::bench;

namespace {

// What any client of SQLite must do for the answer Get shows: the count over
// the statement, and the first 1001 rows with every value converted to text
// (the 1001st tells that the result runs past the limit).
class SqliteBaseline
{
public:
    explicit SqliteBaseline(const QString &path)
    {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            throw std::runtime_error("baseline: cannot open the database");
        // The settings the program must open every file with (untrusted
        // files); the benchmark measures the program's own overhead on top.
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_exec(m_db, "PRAGMA cell_size_check = ON; PRAGMA mmap_size = 0;", nullptr, nullptr, nullptr);
    }
    ~SqliteBaseline() { sqlite3_close(m_db); }
    SqliteBaseline(const SqliteBaseline &) = delete;
    SqliteBaseline &operator=(const SqliteBaseline &) = delete;

    void run(const QByteArray &select)
    {
        sqlite3_stmt *count = prepare("select count(*) from (" + select + ")");
        if (sqlite3_step(count) == SQLITE_ROW)
            m_sink += sqlite3_column_int64(count, 0);
        sqlite3_finalize(count);

        sqlite3_stmt *rows = prepare(select);
        const int columns = sqlite3_column_count(rows);
        for (int row = 0; row < 1001 && sqlite3_step(rows) == SQLITE_ROW; ++row) {
            for (int column = 0; column < columns; ++column) {
                const unsigned char *text = sqlite3_column_text(rows, column);
                m_sink += text ? sqlite3_column_bytes(rows, column) : 0;
            }
        }
        sqlite3_finalize(rows);
    }

    [[nodiscard]] qint64 sink() const { return m_sink; }

private:
    sqlite3_stmt *prepare(const QByteArray &sql)
    {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.constData(), int(sql.size()), &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("baseline: ") + sqlite3_errmsg(m_db));
        return statement;
    }

    sqlite3 *m_db = nullptr;
    qint64 m_sink = 0;
};

struct Case
{
    char letter;
    const char *name;
    const char *select;
    double target;
    // Measured runs: more where the time varies more (the join's page cache
    // misses), fewer where each run is long.
    int runs;
};

const Case cases[] = {
    {'a', "get (a) select *", "select * from big", 1.5, 9},
    {'b', "get (b) filtered scan with like", "select * from big where note like '%quartz and%'", 1.1, 9},
    {'c', "get (c) group by, order by", "select city, count(*) as orders, sum(qty) as units, avg(price) as avg_price "
                                   "from big group by city order by units desc", 0.6, 5},
    {'d', "get (d) join with a filter", "select b.id, b.name, b.city, r.region, r.rating from big b "
                                   "join ref r on r.id = b.ref_id where r.rating >= 4.5 and b.qty < 500", 1.1, 11},
};

// A statement that fails would open the modal warning and stop the run, so
// each one is tried through the engine first.
void checkStatement(const QString &select)
{
    std::unique_ptr<Recordset> result = benchApp().database->openRecordset(select);
    result->close();
}

// Get measures a cell only where it could change its column; the widths it
// leaves must be exactly those of measuring every cell.
bool widthsAreExact(const frmMain &window)
{
    const ResultGrid *grid = window.resultGrid;
    const QueryResult &result = grid->rows().result();
    const QFontMetrics metrics(window.font());
    const Twips twips(&window);
    for (int column = 0; column < result.columnCount(); ++column) {
        const QString header = result.headers[column];
        float width = twips.asReported(twips.fromPixels(metrics.horizontalAdvance(header)) + 300);
        for (int row = 0; row < result.rowCount; ++row) {
            const QString &text = result.text(row, column);
            const float cell = twips.fromPixels(metrics.horizontalAdvance(text)) + 300;
            if (cell > 4800)
                width = twips.asReported(4800);
            else if (cell > width)
                width = twips.asReported(cell);
        }
        if (width != grid->columnWidth(column))
            return false;
    }
    return true;
}

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

std::unique_ptr<frmMain> showWindow()
{
    auto window = std::make_unique<frmMain>(benchApp().context);
    window->show();
    for (int i = 0; i < 20 && !window->windowHandle()->isExposed(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    settle();
    return window;
}

int runPeakChild(const QString &databasePath, const QString &table)
{
    benchApp().database = DatabaseEngine::openDatabase(databasePath);
    std::unique_ptr<frmMain> window = showWindow();
    window->txtSelect->setPlainText(QStringLiteral("select * from %1").arg(table));
    const qint64 before = peakResidentKb();
    window->getButton->click();
    settle();
    std::printf("%lld %lld %d %s\n", before, peakResidentKb(), window->resultGrid->rows().rowCount(),
                qPrintable(window->countLabel->text()));
    return 0;
}

struct Peak
{
    qint64 beforeKb = -1;
    qint64 afterKb = -1;
    QString detail;
};

Peak peakOfChild(const QString &databaseFolder, const QString &table)
{
    const std::optional<QStringList> words = wordsOfChild({QStringLiteral("--peak"), table, databaseFolder}, 120000);
    if (!words || words->size() < 3)
        return {};
    return {words->at(0).toLongLong(), words->at(1).toLongLong(), words->mid(2).join(u' ')};
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QApplication app(argc, argv);
    BenchApp benchContext;
    QStringList arguments = app.arguments().mid(1);

    try {
        if (arguments.value(0) == QStringLiteral("--peak") && arguments.size() == 3)
            return runPeakChild(ensureGetDatabase(arguments[2]), arguments[1]);

        QString only = QStringLiteral("abcdm");
        if (arguments.value(0) == QStringLiteral("--only") && arguments.size() >= 2) {
            only = arguments[1];
            arguments = arguments.mid(2);
        }
        const QString folder = arguments.value(0, QStringLiteral(MORVANE_BENCH_DATA));
        const QString path = ensureGetDatabase(folder);
        note(QStringLiteral("%1 cores; Qt %2; SQLite %3").arg(QThread::idealThreadCount()).arg(QString::fromLatin1(qVersion()),
                                                                                               QString::fromLatin1(sqlite3_libversion())));
        note(QStringLiteral("Get: getButton->click() until it returns (grid filled, label set); 2 warm-ups, 5 to 11 runs"));

        benchApp().database = DatabaseEngine::openDatabase(path);
        std::unique_ptr<frmMain> window = showWindow();
        SqliteBaseline baseline(path);

        for (const Case &c : cases) {
            if (!only.contains(QLatin1Char(c.letter)))
                continue;
            const QString select = QString::fromUtf8(c.select);
            checkStatement(select);
            window->txtSelect->setPlainText(select);
            const QByteArray utf8 = select.toUtf8();
            const Pair pair = measurePair(2, c.runs, [&] { window->getButton->click(); }, [&] { baseline.run(utf8); }, settle);
            report(QString::fromUtf8(c.name), pair.subjectMs, pair.baselineMs, c.target);
            note(QStringLiteral("  of which storing the statement (written only when changed) about %1 ms")
                     .arg(settingsWriteMs(window->txtSelect->toPlainText()), 0, 'f', 3));
            note(QStringLiteral("  %1 rows shown; \"%2\"; column widths %3")
                     .arg(window->resultGrid->rows().rowCount())
                     .arg(window->countLabel->text(), widthsAreExact(*window) ? QStringLiteral("exact") : QStringLiteral("WRONG")));
        }
        window.reset();
        benchApp().database.reset();
        if (!only.contains(u'm'))
            return 0;

        // Each Get in a fresh process: the peak of one cannot hide in the other's.
        const Peak large = peakOfChild(folder, QStringLiteral("big"));
        const Peak small = peakOfChild(folder, QStringLiteral("small"));
        if (large.afterKb < 0 || small.afterKb < 0) {
            note(QStringLiteral("memory: a child process failed"));
            return 1;
        }
        const double differenceMb = double(large.afterKb - small.afterKb) / 1024;
        std::printf("%-40s peak %8.1f MB  1000-row peak %8.1f MB  difference %6.1f MB  target <= 10 MB  %s\n",
                    "memory: Get over 1,000,000 rows", double(large.afterKb) / 1024, double(small.afterKb) / 1024,
                    differenceMb, differenceMb <= 10 ? "met" : "MISSED");
        note(QStringLiteral("  before the Get %1 MB and %2 MB; %3; %4")
                 .arg(double(large.beforeKb) / 1024, 0, 'f', 1)
                 .arg(double(small.beforeKb) / 1024, 0, 'f', 1)
                 .arg(large.detail, small.detail));
        if (baseline.sink() == 0)
            note(QStringLiteral("the baseline read nothing"));
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_get: %s\n", error.what());
        return 1;
    }
    return 0;
}

// Very long text cells: how long the window goes without handling an event
// while a Get shows a 20 MB cell and the user scrolls, resizes, hovers and
// copies; and the peak memory of a Get of 1000 rows of 10 MB each against
// one of short rows, each in a process of its own.
//
// bench_longcells [--only wm]           the wait (w) and the memory (m) cases
// bench_longcells --peak <characters>   (internal) one Get in a fresh process, prints VmHWM
#include "BenchApp.h"
#include "BenchSupport.h"
#include "DatabaseEngine.h"
#include "ResultGrid.h"
#include "StatementBox.h"
#include "frmMain.h"

#include <QApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

using namespace morvane;
using namespace morvane::bench;

namespace {

// Rows of one generated text each; nothing is stored in the file.
QString rowsOfText(int rows, qint64 characters)
{
    return QStringLiteral("with recursive c(i) as (select 1 union all select i + 1 from c where i < %1) "
                          "select i, printf('%.*c', %2, 'x') as t from c")
        .arg(rows)
        .arg(characters);
}

QString makeDatabase(const QString &folder)
{
    const QString path = folder + QStringLiteral("/long.sqlite");
    sqlite3 *db = nullptr;
    const bool made = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK
        && sqlite3_exec(db, "create table if not exists one(x)", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (!made)
        throw std::runtime_error("cannot make the database");
    return path;
}

std::unique_ptr<frmMain> showWindow(const QString &database)
{
    benchApp().database = DatabaseEngine::openDatabase(database);
    auto window = std::make_unique<frmMain>(benchApp().context);
    window->show();
    for (int i = 0; i < 20 && !window->windowHandle()->isExposed(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return window;
}

// The longest time between two ticks of a 5 ms timer on the window's thread.
class GapWatch
{
public:
    GapWatch()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const double now = nowMs();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
    }
    void start()
    {
        m_last = nowMs();
        m_timer.start();
    }
    double stop()
    {
        m_timer.stop();
        return std::max(m_longest, nowMs() - m_last);
    }

private:
    QTimer m_timer;
    double m_last = 0;
    double m_longest = 0;
};

// One thing the user does, handled to its last paint; how long it took.
double timed(const std::function<void()> &action)
{
    const double start = nowMs();
    action();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return nowMs() - start;
}

void runWaitCase(const QString &database)
{
    std::unique_ptr<frmMain> window = showWindow(database);
    ResultGrid *grid = window->resultGrid;
    window->txtSelect->setPlainText(rowsOfText(1, 20'000'000));
    // Storing a changed statement waits for the disk, as every Get of a new
    // statement does (bench_get); that wait is not the cell's.
    benchApp().settings.setSelectStatement(window->txtSelect->toPlainText());
    GapWatch watch;
    watch.start();
    window->getButton->click();
    const double getMs = watch.stop();
    QCoreApplication::processEvents();

    double longest = 0;
    const auto step = [&longest](const std::function<void()> &action) { longest = std::max(longest, timed(action)); };
    for (int i = 0; i <= 10; ++i) {
        step([&] { grid->horizontalScrollBar()->setValue(grid->horizontalScrollBar()->maximum() * i / 10); });
        step([&] { grid->viewport()->repaint(); });
    }
    const QSize size = window->size();
    for (int i = 1; i <= 10; ++i)
        step([&] { window->resize(size.width() + 20 * i, size.height() + 10 * i); });
    step([&] {
        const QPoint at = grid->visualRect(grid->model()->index(0, 1)).center();
        QHelpEvent help(QEvent::ToolTip, at, grid->viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid->viewport(), &help);
    });
    step([&] {
        grid->selectAll();
        QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
        QApplication::sendEvent(grid, &copy);
    });
    note(QStringLiteral("the Get's longest gap %1 ms (25 of them the wait for a quick run), the longest of "
                        "scrolling, resizing, the tooltip and Copy %2 ms; \"%3\"")
             .arg(getMs, 0, 'f', 1)
             .arg(longest, 0, 'f', 1)
             .arg(window->countLabel->text()));
    const double worst = std::max(getMs, longest);
    std::printf("%-40s longest %8.1f ms  target <= 50 ms  %s\n", "wait of the window, a 20 MB cell", worst,
                worst <= 50 ? "met" : "MISSED");
    window.reset();
    benchApp().database.reset();
}

int runPeakChild(const QString &database, qint64 characters)
{
    std::unique_ptr<frmMain> window = showWindow(database);
    window->txtSelect->setPlainText(rowsOfText(1000, characters));
    const double start = nowMs();
    window->getButton->click();
    std::printf("%lld %.0f %s\n", peakResidentKb(), nowMs() - start, qPrintable(window->countLabel->text()));
    return 0;
}

struct Peak
{
    qint64 kb = -1;
    QString detail;
};

Peak peakOfChild(qint64 characters)
{
    const std::optional<QStringList> words = wordsOfChild({QStringLiteral("--peak"), QString::number(characters)}, 600000);
    if (!words)
        throw std::runtime_error("a child process failed");
    return {words->value(0).toLongLong(), words->mid(1).join(u' ')};
}

void runMemoryCase()
{
    const Peak small = peakOfChild(10);
    const Peak large = peakOfChild(10'000'000);
    const double differenceMb = double(large.kb - small.kb) / 1024;
    std::printf("%-40s peak %8.1f MB  short-row peak %8.1f MB  difference %6.1f MB  target <= 256 MB  %s\n",
                "memory: Get of 1000 rows x 10 MB", double(large.kb) / 1024, double(small.kb) / 1024, differenceMb,
                differenceMb <= 256 ? "met" : "MISSED");
    note(QStringLiteral("  ms and label: long %1; short %2").arg(large.detail, small.detail));
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QApplication app(argc, argv);
    BenchApp benchContext;
    const QStringList arguments = app.arguments().mid(1);
    try {
        const QString database = makeDatabase(environment.path());
        if (arguments.value(0) == QStringLiteral("--peak"))
            return runPeakChild(database, arguments.value(1).toLongLong());
        const QString only = arguments.value(0) == QStringLiteral("--only") ? arguments.value(1) : QStringLiteral("wm");
        if (only.contains(u'w'))
            runWaitCase(database);
        if (only.contains(u'm'))
            runMemoryCase();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_longcells: %s\n", error.what());
        return 1;
    }
    return 0;
}

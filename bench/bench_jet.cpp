// Access/Jet scans: Get over the largest table of the Jet test files, against
// a raw libmdb fetch loop over the same table in the same process.
//
// bench_jet [--only csf] [file table]   c: select count(*), s: select *, f: the
//                                      first Get after Open; default: rows512-jet4.mdb, Table1
#include "BenchSupport.h"
#include "DatabaseEngine.h"
#include "BenchApp.h"
#include "ResultGrid.h"
#include "ResultModel.h"
#include "frmMain.h"
#include "mdlMain.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include "StatementBox.h"
#include <QPushButton>
#include <QThread>
#include <QWindow>

#include <mdbtools.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace morvane;
using namespace morvane::bench;

namespace {

// What a client of libmdb does to read every row of a table with each value
// converted to text: read the table's definition, bind every column, fetch.
class MdbBaseline
{
public:
    MdbBaseline(const QString &path, const QString &table) : m_table(table.toUtf8())
    {
        m_mdb = mdb_open(QFile::encodeName(path).constData(), MDB_NOFLAGS);
        if (!m_mdb)
            throw std::runtime_error("libmdb cannot open the file");
    }
    ~MdbBaseline() { mdb_close(m_mdb); }
    MdbBaseline(const MdbBaseline &) = delete;
    MdbBaseline &operator=(const MdbBaseline &) = delete;

    qint64 scan()
    {
        MdbTableDef *table = mdb_read_table_by_name(m_mdb, m_table.data(), MDB_TABLE);
        if (!table)
            throw std::runtime_error("libmdb cannot find the table");
        mdb_read_columns(table);
        const int columns = int(table->num_cols);
        m_values.resize(size_t(columns));
        m_lengths.resize(size_t(columns));
        for (int column = 0; column < columns; ++column) {
            m_values[size_t(column)].resize(MDB_BIND_SIZE);
            mdb_bind_column(table, column + 1, m_values[size_t(column)].data(), &m_lengths[size_t(column)]);
        }
        mdb_rewind_table(table);
        qint64 rows = 0;
        while (mdb_fetch_row(table)) {
            ++rows;
            for (int column = 0; column < columns; ++column)
                m_sink += m_lengths[size_t(column)];
        }
        mdb_free_tabledef(table);
        return rows;
    }

private:
    MdbHandle *m_mdb = nullptr;
    QByteArray m_table;
    std::vector<std::vector<char>> m_values;
    std::vector<int> m_lengths;
    qint64 m_sink = 0;
};

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QApplication app(argc, argv);
    BenchApp benchContext;
    QStringList arguments = app.arguments();
    QString only = QStringLiteral("csf");
    if (arguments.value(1) == QStringLiteral("--only") && arguments.size() >= 3) {
        only = arguments[2];
        arguments.remove(1, 2);
    }
    const QString path = arguments.size() >= 3 ? arguments[1] : QStringLiteral(MORVANE_JET_FIXTURE);
    const QString table = arguments.size() >= 3 ? arguments[2] : QStringLiteral("Table1");

    try {
        MdbBaseline baseline(path, table);
        const qint64 rows = baseline.scan();
        note(QStringLiteral("%1 cores; Qt %2; %3, table %4: %5 rows")
                 .arg(QThread::idealThreadCount())
                 .arg(QString::fromLatin1(qVersion()), QFileInfo(path).fileName(), table)
                 .arg(rows));

        benchApp().database = DatabaseEngine::openDatabase(path);
        frmMain window(benchApp().context);
        window.show();
        for (int i = 0; i < 20 && !window.windowHandle()->isExposed(); ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        settle();

        // One Get, or one scan, is well under a millisecond on a table this
        // size: each sample repeats it.
        constexpr int repeats = 50;
        note(QStringLiteral("each sample: %1 Gets (getButton->click()) against %1 libmdb scans; 2 warm-ups, 9 runs").arg(repeats));
        struct Case
        {
            QChar letter;
            QString name;
            QString select;
        };
        const Case cases[] = {
            {u'c', QStringLiteral("jet select count(*)"), QStringLiteral("select count(*) as n from [%1]").arg(table)},
            {u's', QStringLiteral("jet select *"), QStringLiteral("select * from [%1]").arg(table)},
        };
        for (const Case &c : cases) {
            if (!only.contains(c.letter))
                continue;
            std::unique_ptr<Recordset> check = benchApp().database->openRecordset(c.select);
            check->close();
            window.txtSelect->setPlainText(c.select);
            const Pair pair = measurePair(
                2, 9,
                [&] {
                    for (int i = 0; i < repeats; ++i)
                        window.getButton->click();
                },
                [&] {
                    for (int i = 0; i < repeats; ++i)
                        baseline.scan();
                },
                settle);
            report(c.name, pair.subjectMs / repeats, pair.baselineMs / repeats, 1.3);
            note(QStringLiteral("  of which storing the statement (written only when changed) about %1 ms")
                     .arg(settingsWriteMs(window.txtSelect->toPlainText()), 0, 'f', 3));
            note(QStringLiteral("  %1 rows shown; \"%2\"").arg(window.resultGrid->rows().rowCount()).arg(window.countLabel->text()));
        }

        if (!only.contains(u'f'))
            return 0;
        // For context: the first Get after Open, which starts a reader and
        // reads the file, against opening the file with libmdb and scanning.
        const QString select = QStringLiteral("select * from [%1]").arg(table);
        window.txtSelect->setPlainText(select);
        const Pair cold = measurePair(
            1, 7,
            [&] {
                benchApp().database = DatabaseEngine::openDatabase(path);
                window.getButton->click();
            },
            [&] { MdbBaseline(path, table).scan(); }, settle);
        reportLine(QStringLiteral("jet open + first select *"), cold.subjectMs, cold.baselineMs, QStringLiteral("-"), "-");
        benchApp().database.reset();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_jet: %s\n", error.what());
        return 1;
    }
    return 0;
}

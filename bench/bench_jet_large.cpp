// Access tables of millions of rows: statements on a 1,000,000-row table
// against libmdb's own export of the table (mdb-export to /dev/null, measured
// in the same run), and the peak memory of the program and its reader on a
// 10,000,000-row table.
//
// bench_jet_large [--only tmca]  t: times at 1,000,000 rows, m: memory and
//                                repeated statements at 10,000,000 rows,
//                                c: Cancel of a scan at 10,000,000 rows,
//                                a: Access SQL against SQLite's syntax
//
// The files are made once in build/bench-data by growing rows512-jet4.mdb
// (JetFileGrower); when one is made, libmdb's export and the engine must agree
// on every row before anything is measured.
#include "AccessSqlTranslator.h"
#include "BenchSupport.h"
#include "DatabaseEngine.h"
#include "Failure.h"
#include "JetFileGrower.h"
#include "SqlText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace morvane;
using namespace morvane::bench;

namespace {

const QString table = QStringLiteral("Table1");

QString dataFile(qint64 rows)
{
    QDir().mkpath(QStringLiteral(MORVANE_BENCH_DATA));
    return QStringLiteral(MORVANE_BENCH_DATA "/jet-%1-rows.mdb").arg(rows);
}

// One row as mdb-export writes it with a tab between values.
QByteArray exportLine(Recordset &rows)
{
    QByteArray line;
    for (int i = 0; i < rows.fieldCount(); ++i) {
        if (i > 0)
            line += '\t';
        const FieldValue value = rows.value(i);
        if (value.type() == FieldValue::Type::Integer)
            line += QByteArray::number(value.integer());
        else if (value.type() == FieldValue::Type::Text)
            line += '"' + value.text().toUtf8() + '"';
    }
    return line;
}

// Every row, in order, as libmdb exports it and as the engine reads it.
void checkAgreement(const QString &path)
{
    QProcess exporter;
    exporter.start(QStringLiteral("mdb-export"), {QStringLiteral("-H"), QStringLiteral("-d"), QStringLiteral("\t"),
                                                  path, table});
    if (!exporter.waitForStarted())
        throw std::runtime_error("mdb-export (Debian package mdbtools) cannot be started");
    const auto database = DatabaseEngine::openDatabase(path);
    auto rows = database->openRecordset(QStringLiteral("select * from [%1]").arg(table));
    qint64 count = 0;
    QByteArray pending;
    for (; !rows->eof(); rows->moveNext(), ++count) {
        while (!pending.contains('\n')) {
            if (!exporter.waitForReadyRead(30000) && exporter.bytesAvailable() == 0)
                throw std::runtime_error("mdb-export ended before the engine's rows");
            pending += exporter.readAll();
        }
        const qsizetype end = pending.indexOf('\n');
        if (pending.left(end) != exportLine(*rows)) {
            throw std::runtime_error(QStringLiteral("row %1 differs: mdb-export \"%2\", engine \"%3\"")
                                         .arg(count)
                                         .arg(QString::fromUtf8(pending.left(end)), QString::fromUtf8(exportLine(*rows)))
                                         .toStdString());
        }
        pending.remove(0, end + 1);
    }
    exporter.waitForFinished(-1);
    pending += exporter.readAll();
    if (!pending.isEmpty())
        throw std::runtime_error("mdb-export has rows the engine does not");
    note(QStringLiteral("  libmdb's export and the engine agree on all %1 rows").arg(count));
}

QString ensureFile(qint64 rows)
{
    const QString path = dataFile(rows);
    const QString checked = path + QStringLiteral(".checked");
    if (QFileInfo::exists(checked) && QFileInfo(checked).lastModified() >= QFileInfo(path).lastModified())
        return path;
    const double start = nowMs();
    const JetFileGrower::Result made = JetFileGrower::grow(
        QStringLiteral(MORVANE_JET_FIXTURE), path, table, QStringLiteral("CD_AGENTE"), rows);
    note(QStringLiteral("made %1: %2 rows, %3 pages, in %4 s")
             .arg(QFileInfo(path).fileName())
             .arg(made.rows)
             .arg(made.pages)
             .arg((nowMs() - start) / 1000, 0, 'f', 2));
    checkAgreement(path);
    QFile mark(checked);
    if (!mark.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot mark the file as checked");
    return path;
}

void exportToNowhere(const QString &path)
{
    QProcess exporter;
    exporter.setStandardOutputFile(QProcess::nullDevice());
    exporter.start(QStringLiteral("mdb-export"), {path, table});
    if (!exporter.waitForFinished(-1) || exporter.exitCode() != 0)
        throw std::runtime_error("mdb-export failed");
}

struct Statement
{
    QChar letter;
    QString name;
    QString sql;
    double target;
};

const Statement statements[] = {
    {u'c', QStringLiteral("select count(*)"), QStringLiteral("select count(*) from Table1"), 0.2},
    {u'f', QStringLiteral("filtered scan (like)"),
     QStringLiteral("select * from Table1 where DC_AGENTE like '%zq%'"), 0.4},
    {u'g', QStringLiteral("Get of select * (1000 rows and the count)"), QStringLiteral("select * from Table1"), 0.5},
};

// What a Get asks of the engine: at most 1000 rows, each value as text, and
// the count; a count or filter statement is read to its end. Returns a sum
// over the values read, so that two runs can be seen to read the same rows.
qint64 run(Database &database, const Statement &statement)
{
    auto rows = database.openRecordset(statement.sql);
    qint64 sum = 0;
    const qint64 limit = statement.letter == u'g' ? 1000 : std::numeric_limits<qint64>::max();
    for (qint64 n = 0; !rows->eof() && n < limit; rows->moveNext(), ++n) {
        for (int i = 0; i < rows->fieldCount(); ++i) {
            const FieldValue value = rows->value(i);
            if (value.type() == FieldValue::Type::Integer)
                sum += value.integer();
            else if (value.type() == FieldValue::Type::Text)
                sum += qHash(value.text()) % 1000;
        }
    }
    rows->close();
    if (statement.letter == u'g')
        sum += database.countRows(statement.sql);
    return sum;
}

void timesAtOneMillion()
{
    const QString path = ensureFile(1'000'000);
    const auto database = DatabaseEngine::openDatabase(path);
    note(QStringLiteral("%1 rows; each sample one statement in an open session against one mdb-export "
                        "of the table to /dev/null; 1 warm-up, 5 runs")
             .arg(database->countRows(QStringLiteral("select * from Table1"))));
    for (const Statement &statement : statements) {
        const Pair pair = measurePair(
            1, 5, [&] { run(*database, statement); }, [&] { exportToNowhere(path); });
        report(QStringLiteral("jet 1M %1").arg(statement.name), pair.subjectMs, pair.baselineMs, statement.target);
    }
    // A whole scan and a sum over the table, once more in the same session:
    // the rows kept and the rows read again must be the same.
    const Statement whole{u'w', QStringLiteral("whole"), QStringLiteral("select * from Table1"), 0};
    if (run(*database, whole) != run(*database, whole))
        throw std::runtime_error("a second scan read other rows than the first");
    // For context: the same statements first after Open, when the table is
    // read from the file rather than from the rows kept in memory.
    for (const Statement &statement : statements) {
        const Pair cold = measurePair(
            0, 3, [&] { run(*DatabaseEngine::openDatabase(path), statement); }, [&] { exportToNowhere(path); });
        reportLine(QStringLiteral("jet 1M Open + first %1").arg(statement.name), cold.subjectMs, cold.baselineMs,
                   QStringLiteral("-"), "-");
    }
}


// A select of about 10 KB in Access SQL, shaped like a wide report.
QString accessStatementOf10Kb()
{
    QString sql = QStringLiteral("PARAMETERS [Since] DateTime; SELECT DISTINCTROW TOP 25 ");
    for (int i = 0; sql.size() < 9800; ++i) {
        sql += QStringLiteral("[Customers].[Last Name] & \", \" & [First Name] AS [Name %1], "
                              "IIf([Orders].[Shipped] = True, Format([Orders].[Ship Date], \"Short Date\"), \"open\") "
                              "AS [State %1], ([Qty] * [Price]) \\ 1 Mod 7 AS [Part %1], ")
                   .arg(i);
    }
    sql += QStringLiteral("[Orders].[ID] FROM ([Customers] INNER JOIN [Orders] ON [Customers].[ID] = "
                          "[Orders].[Customer]) LEFT JOIN [Lines] ON [Lines].[Order] = [Orders].[ID] "
                          "WHERE [Orders].[Date] Between #1/1/2020# And #12/31/2024# AND [City] Like \"Reyk*\" "
                          "AND [Orders].[Date] >= [Since] ORDER BY [Orders].[Date] DESC;");
    return sql;
}

// Access SQL on the same path as SQLite's syntax: each statement against the
// one a user would write for SQLite, both through the engine.
void accessSqlAgainstSqlite()
{
    const QString statement = accessStatementOf10Kb();
    std::vector<double> translate;
    std::vector<double> scan;
    for (int i = 0; i < 200; ++i) {
        double start = nowMs();
        const AccessSqlTranslation translation = AccessSqlTranslator::translate(statement);
        translate.push_back(nowMs() - start);
        start = nowMs();
        const QStringView trimmed = SqlText::withoutTrailingTrivia(statement);
        scan.push_back(nowMs() - start);
        if (trimmed.isEmpty() || translation.sql.isEmpty())
            throw std::runtime_error("the statement came out empty");
    }
    note(QStringLiteral("translating a %1-character statement; baseline: one scan of it for its trailing "
                        "white space and comments")
             .arg(statement.size()));
    reportAbsolute(QStringLiteral("access sql translate 10 KB"), median(translate), median(scan), 1);

    const QString path = ensureFile(1'000'000);
    const auto database = DatabaseEngine::openDatabase(path);
    struct Dialects
    {
        QString name;
        QString access;
        QString sqlite;
        double target;
    };
    const Dialects pairs[] = {
        {QStringLiteral("like \"*x*\" scan"), QStringLiteral("select * from Table1 where DC_AGENTE Like \"*zq*\""),
         QStringLiteral("select * from Table1 where DC_AGENTE like '%zq%'"), 1.05},
        {QStringLiteral("top 10 ... order by"), QStringLiteral("select top 10 * from Table1 order by CD_AGENTE desc"),
         QStringLiteral("select * from Table1 order by CD_AGENTE desc limit 10"), 1.05},
        {QStringLiteral("concat & over two columns"),
         QStringLiteral("select RS_AGENTE & \" \" & DC_AGENTE from Table1"),
         QStringLiteral("select RS_AGENTE || ' ' || DC_AGENTE from Table1"), 1.05},
        {QStringLiteral("crosstab, pivot in (...)"),
         QStringLiteral("transform Count(*) select RS_AGENTE from Table1 group by RS_AGENTE "
                        "pivot CD_AGENTE Mod 3 in (0, 1, 2)"),
         QStringLiteral("select RS_AGENTE, CD_AGENTE % 3, count(*) from Table1 group by RS_AGENTE, CD_AGENTE % 3"), 2},
        {QStringLiteral("crosstab, headings from the data"),
         QStringLiteral("transform Count(*) select RS_AGENTE from Table1 group by RS_AGENTE pivot CD_AGENTE Mod 3"),
         QStringLiteral("select RS_AGENTE, CD_AGENTE % 3, count(*) from Table1 group by RS_AGENTE, CD_AGENTE % 3"), 2},
    };
    note(QStringLiteral("%1 rows; each sample every row of the statement read, against the same statement "
                        "in SQLite's syntax; 2 warm-ups, 9 runs")
             .arg(database->countRows(QStringLiteral("select * from Table1"))));
    for (const Dialects &pair : pairs) {
        const Pair times = measurePair(
            2, 9, [&] { readAll(*database, pair.access); }, [&] { readAll(*database, pair.sqlite); });
        report(QStringLiteral("access sql %1").arg(pair.name), times.subjectMs, times.baselineMs, pair.target);
    }
}

qint64 residentPeakKb(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

QList<pid_t> children()
{
    QList<pid_t> found;
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self)
            found << entry.toInt();
    }
    return found;
}

// In a process of its own, so the peak is this statement's: the statement
// twice in one session, then the peaks of this process and its readers.
int memoryChild(const QString &path, QChar letter)
{
    for (const Statement &statement : statements) {
        if (statement.letter != letter)
            continue;
        const auto database = DatabaseEngine::openDatabase(path);
        double start = nowMs();
        const qint64 firstSum = run(*database, statement);
        const double first = nowMs() - start;
        start = nowMs();
        const qint64 secondSum = run(*database, statement);
        const double second = nowMs() - start;
        if (firstSum != secondSum) {
            std::fprintf(stderr, "bench_jet_large: the second run read other rows than the first\n");
            return 2;
        }
        qint64 readersKb = 0;
        for (pid_t reader : children())
            readersKb += residentPeakKb(reader);
        std::printf("%.1f %.1f %lld %lld\n", first, second, static_cast<long long>(peakResidentKb()),
                    static_cast<long long>(readersKb));
        return 0;
    }
    return 1;
}

void memoryAtTenMillion()
{
    const QString path = ensureFile(10'000'000);
    note(QStringLiteral("%1: each statement in a process of its own, twice in one session; peak resident "
                        "memory (VmHWM) of the program plus its readers")
             .arg(QFileInfo(path).fileName()));
    for (const Statement &statement : statements) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--memory"), QString(statement.letter), path});
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            throw std::runtime_error("the measuring process failed");
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        const double first = figures.value(0).toDouble();
        const double second = figures.value(1).toDouble();
        const double programMb = figures.value(2).toDouble() / 1024;
        const double readerMb = figures.value(3).toDouble() / 1024;
        const double totalMb = programMb + readerMb;
        std::printf("%-60s peak %8.1f MB (program %.1f + readers %.1f)  target <= 150 MB  %s\n",
                    qPrintable(QStringLiteral("jet 10M memory, %1").arg(statement.name)), totalMb, programMb,
                    readerMb, totalMb <= 150 ? "met" : "MISSED");
        std::printf("%-60s first %9.1f ms  second %9.1f ms  target second <= first  %s\n",
                    qPrintable(QStringLiteral("jet 10M again, %1").arg(statement.name)), first, second,
                    second <= first * 1.05 ? "met" : "MISSED");
        std::fflush(stdout);
    }
}

// A scan of the whole table, cancelled after half a second.
void cancelAtTenMillion()
{
    const QString path = ensureFile(10'000'000);
    const auto database = DatabaseEngine::openDatabase(path);
    std::atomic<double> ended = 0;
    std::thread statement([&] {
        try {
            run(*database, statements[1]);
        } catch (const Failure &) {
        }
        ended = nowMs();
    });
    QThread::msleep(500);
    const QList<pid_t> readers = children();
    const double cancelled = nowMs();
    database->interrupt();
    statement.join();
    const double cancelMs = ended - cancelled;
    bool readersGone = true;
    for (pid_t reader : readers)
        readersGone = readersGone && !children().contains(reader);
    std::printf("%-60s %9.1f ms  target <= 250 ms, reader ended  %s%s\n", "jet 10M Cancel of a scan to idle",
                cancelMs, cancelMs <= 250 && readersGone ? "met" : "MISSED", readersGone ? "" : " (reader alive)");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    try {
        if (arguments.value(1) == QStringLiteral("--memory"))
            return memoryChild(arguments.value(3), arguments.value(2).at(0));
        QString only = QStringLiteral("tmca");
        if (arguments.value(1) == QStringLiteral("--only"))
            only = arguments.value(2);
        note(QStringLiteral("%1 cores; Qt %2").arg(QThread::idealThreadCount()).arg(QString::fromLatin1(qVersion())));
        if (only.contains(u't'))
            timesAtOneMillion();
        if (only.contains(u'm'))
            memoryAtTenMillion();
        if (only.contains(u'c'))
            cancelAtTenMillion();
        if (only.contains(u'a'))
            accessSqlAgainstSqlite();
    } catch (const Failure &error) {
        std::fprintf(stderr, "bench_jet_large: %s\n", qPrintable(error.description()));
        return 1;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_jet_large: %s\n", error.what());
        return 1;
    }
    return 0;
}

// Get on a PostgreSQL server against psql on the same server doing the same
// work: the count over the statement and the first 1001 rows, for a table of
// ten million rows read whole, filtered, grouped and joined. Also the
// client's peak memory for a Get over ten million rows against one over a
// thousand.
//
// bench_postgres                          a throwaway server of its own
// bench_postgres --peak <connection> <t>  (internal) one Get in a fresh process, prints VmHWM
#include "BenchSupport.h"
#include "DatabaseEngine.h"
#include "PostgresServer.h"
#include "QueryRun.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>

using namespace morvane;
using namespace morvane::bench;

namespace {

// The same shape as the SQLite benchmark's `big`: ten columns of integers,
// reals, texts and dates, about one value in ten Null per nullable column.
const char *const buildScript = R"sql(
CREATE TABLE big AS
WITH h AS (SELECT i, (i * 2654435761) % 4294967291 AS a, (i * 40503) % 65521 AS b,
                  (i * 2246822519) % 4294967279 AS c, (i * 3266489917) % 4294967231 AS d
           FROM generate_series(1::bigint, 10000000) AS i)
SELECT i AS id,
    CASE WHEN a % 10 = 1 THEN NULL ELSE a % 1000 END AS qty,
    CASE WHEN b % 10 = 2 THEN NULL ELSE (c % 100000) / 100.0 END::float8 AS price,
    CASE WHEN c % 10 = 3 THEN NULL ELSE 'customer ' || (a % 50000) END AS name,
    CASE WHEN d % 10 = 4 THEN NULL
         ELSE (ARRAY['Reykjavík','Akureyri','Þórshöfn','Ísafjörður','Zürich','København','Kraków','Łódź',
                     'Lisboa','Sevilla','Tórshavn','Göteborg','Tromsø','Nantes','Bergen','Cork','Gdańsk',
                     'Århus','Aberdeen','Porto'])[b % 20 + 1] || ' ' || (d % 25) END AS city,
    CASE WHEN a % 10 = 5 THEN NULL ELSE date '2000-01-01' + (b % 9000)::int END AS created,
    1 + c % 100000 AS ref_id,
    CASE WHEN d % 10 = 6 THEN NULL ELSE (a % 1000000) / 997.0 END::float8 AS score,
    CASE WHEN b % 10 = 7 THEN NULL
         ELSE (ARRAY['amber','basalt','cobalt','delta','ember','fjord','glacier','harbour','island','juniper',
                     'kelp','lava','moss','north','orca','puffin','quartz','reef','saga','tide','urchin',
                     'volcano','whale','yarrow'])[a % 24 + 1] || ' ' || 'tide' END AS note,
    CASE WHEN c % 10 = 8 THEN NULL ELSE date '2000-01-01' + (b % 9000 + d % 60)::int END AS shipped
FROM h;
CREATE TABLE small AS SELECT * FROM big WHERE id <= 1000;
CREATE TABLE refs AS SELECT * FROM big WHERE id <= 100000;
)sql";

// psql's own timing of its statements (\timing), which leaves out its start
// and its connection, as the measured Get does.
double psqlMs(const QString &connection, const QStringList &statements)
{
    QStringList arguments{QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                          QStringLiteral("-c"), QStringLiteral("\\timing on")};
    for (const QString &statement : statements)
        arguments << QStringLiteral("-c") << statement;
    arguments << connection;
    QProcess psql;
    psql.start(QStringLiteral("psql"), arguments);
    if (!psql.waitForFinished(120000) || psql.exitCode() != 0)
        throw std::runtime_error("psql failed: " + psql.readAllStandardError().toStdString());
    double total = 0;
    static const QRegularExpression time(QStringLiteral("Time: ([0-9.]+) ms"));
    auto matches = time.globalMatch(QString::fromUtf8(psql.readAllStandardOutput()));
    while (matches.hasNext())
        total += matches.next().captured(1).toDouble();
    return total;
}

QueryResult get(Database &database, const QString &select)
{
    const std::atomic_bool notCancelled = false;
    QueryResult result = QueryRun(database, notCancelled).run(select, {});
    if (result.failure)
        throw std::runtime_error(result.failure->toStdString());
    return result;
}

int runPeakChild(const QString &connection, const QString &table)
{
    const std::unique_ptr<Database> database = DatabaseEngine::openDatabase(connection);
    const qint64 before = peakResidentKb();
    const QueryResult result = get(*database, QStringLiteral("select * from %1").arg(table));
    std::printf("%lld %lld %d %s\n", before, peakResidentKb(), result.rowCount, qPrintable(*result.countMessage));
    return 0;
}

qint64 peakOfChild(const QString &connection, const QString &table)
{
    const std::optional<QStringList> words = wordsOfChild({QStringLiteral("--peak"), connection, table}, 120000);
    if (!words)
        return -1;
    note(QStringLiteral("%1: peak %2 kB, %3 rows shown, \"%4\"")
             .arg(table, words->value(1), words->value(2), words->mid(3).join(u' ')));
    return words->value(1).toLongLong();
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    try {
        if (arguments.value(0) == QStringLiteral("--peak") && arguments.size() == 3)
            return runPeakChild(arguments[1], arguments[2]);

        test::PostgresServer server{QStringLiteral(MORVANE_BINARY_DIR "/pg-template")};
        if (!server.start()) {
            std::fprintf(stderr, "bench_postgres: %s\n", qPrintable(server.error()));
            return 1;
        }
        const QString connection = server.connection();
        const double buildStart = nowMs();
        server.query(QString::fromUtf8(buildScript));
        // Sets the rows' hint bits, so no measured scan writes them.
        server.query(QStringLiteral("VACUUM ANALYZE big"));
        server.query(QStringLiteral("VACUUM ANALYZE small"));
        note(QStringLiteral("server %1, table big built in %2 ms")
                 .arg(server.query(QStringLiteral("show server_version")))
                 .arg(nowMs() - buildStart, 0, 'f', 0));

        const std::unique_ptr<Database> database = DatabaseEngine::openDatabase(connection);
        struct Case
        {
            const char *name;
            const char *select;
        };
        const Case cases[] = {
            {"postgres get (a) select *", "select * from big"},
            {"postgres get (b) filtered scan", "select * from big where qty < 100 and city like 'K%'"},
            {"postgres get (c) group by", "select name, count(*), avg(price) from big group by name"},
            {"postgres get (d) join", "select b.id, b.name, r.city from big b join refs r on r.id = b.ref_id"},
        };
        for (const Case &c : cases) {
            const QString select = QString::fromUtf8(c.select);
            note(QStringLiteral("%1 says: %2").arg(QString::fromUtf8(c.name), *get(*database, select).countMessage));
            // The two take turns; psql's own figure for its statements is the
            // baseline, not the time of its process.
            std::vector<double> psqlTimes;
            const QString countOver = QStringLiteral("select count(*) from (%1) as n").arg(select);
            const Pair pair = measurePair(1, 5, [&] { (void)get(*database, select); }, [&] {
                psqlTimes.push_back(psqlMs(connection, {countOver, select + QStringLiteral(" limit 1001")}));
            });
            psqlTimes.erase(psqlTimes.begin());
            note(QStringLiteral("psql with its start and connection: %1 ms").arg(pair.baselineMs, 0, 'f', 1));
            report(QString::fromUtf8(c.name), pair.subjectMs, median(psqlTimes), 1.1);
        }

        const qint64 bigKb = peakOfChild(connection, QStringLiteral("big"));
        const qint64 smallKb = peakOfChild(connection, QStringLiteral("small"));
        const qint64 overKb = bigKb - smallKb;
        std::printf("%-40s big %8lld kB  small %8lld kB  difference %6lld kB  target <= 20480 kB  %s\n",
                    "postgres get peak memory", bigKb, smallKb, overKb,
                    bigKb > 0 && smallKb > 0 && overKb <= 20480 ? "met" : "MISSED");
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_postgres: %s\n", error.what());
        return 1;
    }
    return 0;
}

#include "BenchSupport.h"

#include "Database.h"
#include "FieldValue.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTextStream>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace morvane::bench {

BenchEnvironment::BenchEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!m_root.isValid())
        throw std::runtime_error("no temporary folder");
    const QString config = m_root.filePath(QStringLiteral("config"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("data"))));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("cache"))));
    const QString runtime = m_root.filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
}

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Pair measurePair(int warmups, int runs, const std::function<void()> &subject, const std::function<void()> &baseline,
                 const std::function<void()> &between)
{
    for (int i = 0; i < warmups; ++i) {
        subject();
        if (between)
            between();
        baseline();
    }
    std::vector<double> subjectTimes;
    std::vector<double> baselineTimes;
    for (int i = 0; i < runs; ++i) {
        double start = nowMs();
        subject();
        subjectTimes.push_back(nowMs() - start);
        if (between)
            between();
        start = nowMs();
        baseline();
        baselineTimes.push_back(nowMs() - start);
    }
    return {median(subjectTimes), median(baselineTimes)};
}

void reportLine(const QString &name, double subjectMs, double baselineMs, const QString &target, const char *verdict)
{
    const double ratio = baselineMs > 0 ? subjectMs / baselineMs : 0;
    std::printf("%-40s median %10.3f ms  baseline %10.3f ms  ratio %6.3f  target %-12s %s\n",
                qPrintable(name), subjectMs, baselineMs, ratio, qPrintable(target), verdict);
    std::fflush(stdout);
}

void report(const QString &name, double subjectMs, double baselineMs, double targetRatio)
{
    const bool met = baselineMs > 0 && subjectMs / baselineMs <= targetRatio;
    reportLine(name, subjectMs, baselineMs, QStringLiteral("<= %1").arg(targetRatio), met ? "met" : "MISSED");
}

void reportAbsolute(const QString &name, double subjectMs, double baselineMs, double targetMs)
{
    reportLine(name, subjectMs, baselineMs, QStringLiteral("< %1 ms").arg(targetMs), subjectMs < targetMs ? "met" : "MISSED");
}

void note(const QString &text)
{
    std::printf("# %s\n", qPrintable(text));
    std::fflush(stdout);
}

double settingsWriteMs(const QString &statement)
{
    SettingsStore settings;
    std::vector<double> times;
    for (int i = 0; i < 9; ++i) {
        const double start = nowMs();
        settings.setSelectStatement(statement);
        times.push_back(nowMs() - start);
    }
    return median(times);
}

qint64 peakResidentKb()
{
    // /proc files report a size of 0, which QFile takes for the end.
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    qint64 kb = -1;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmHWM: %lld kB", &kb) == 1)
            break;
    }
    std::fclose(status);
    return kb;
}

namespace {

// Bump when the tables below change, so a kept file is rebuilt.
constexpr int databaseVersion = 3;
constexpr int bigRows = 1000000;

// Deterministic pseudo-random numbers: a multiplicative hash of the row number
// per column, so every build gives the same file. About one value in ten of
// each nullable column is Null, at a different residue per column.
const char *const buildScript = R"sql(
PRAGMA journal_mode = OFF;
PRAGMA synchronous = OFF;
PRAGMA cache_size = -65536;
BEGIN;
CREATE TABLE big(
    id INTEGER PRIMARY KEY,
    qty INTEGER,
    price REAL,
    name TEXT,
    city TEXT,
    created DATE,
    ref_id INTEGER,
    score REAL,
    note TEXT,
    shipped DATE);
CREATE TABLE cities(k INTEGER PRIMARY KEY, name TEXT);
INSERT INTO cities VALUES
    (0, 'Reykjavík'), (1, 'Akureyri'), (2, 'Þórshöfn'), (3, 'Ísafjörður'), (4, 'Zürich'),
    (5, 'København'), (6, 'Kraków'), (7, 'Łódź'), (8, 'Lisboa'), (9, 'Sevilla'),
    (10, 'Tórshavn'), (11, 'Göteborg'), (12, 'Tromsø'), (13, 'Nantes'), (14, 'Bergen'),
    (15, 'Cork'), (16, 'Gdańsk'), (17, 'Århus'), (18, 'Aberdeen'), (19, 'Porto');
CREATE TABLE words(k INTEGER PRIMARY KEY, w TEXT);
INSERT INTO words VALUES
    (0, 'amber'), (1, 'basalt'), (2, 'cobalt'), (3, 'delta'), (4, 'ember'), (5, 'fjord'),
    (6, 'glacier'), (7, 'harbour'), (8, 'island'), (9, 'juniper'), (10, 'kelp'), (11, 'lava'),
    (12, 'moss'), (13, 'north'), (14, 'orca'), (15, 'puffin'), (16, 'quartz'), (17, 'reef'),
    (18, 'saga'), (19, 'tide'), (20, 'urchin'), (21, 'volcano'), (22, 'whale'), (23, 'yarrow');
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < %1),
h(i, a, b, c, d) AS (SELECT i, (i * 2654435761) % 4294967291, (i * 40503) % 65521,
                            (i * 2246822519) % 4294967279, (i * 3266489917) % 4294967231 FROM c)
INSERT INTO big SELECT
    i,
    CASE WHEN a % 10 = 1 THEN NULL ELSE a % 1000 END,
    CASE WHEN b % 10 = 2 THEN NULL ELSE (c % 100000) / 100.0 END,
    CASE WHEN c % 10 = 3 THEN NULL ELSE 'customer ' || (a % 50000) END,
    CASE WHEN d % 10 = 4 THEN NULL
         ELSE (SELECT name FROM cities WHERE k = b % 20) || ' ' || (d % 25) END,
    CASE WHEN a % 10 = 5 THEN NULL ELSE date('2000-01-01', '+' || (b % 9000) || ' days') END,
    1 + c % 100000,
    CASE WHEN d % 10 = 6 THEN NULL ELSE (a % 1000000) / 997.0 END,
    CASE WHEN b % 10 = 7 THEN NULL
         ELSE (SELECT w FROM words WHERE k = a % 24) || ' ' || (SELECT w FROM words WHERE k = c % 23)
              || CASE WHEN d % 3 = 0 THEN ' and ' || (SELECT w FROM words WHERE k = d % 24) ELSE '' END END,
    CASE WHEN c % 10 = 8 THEN NULL ELSE date('2000-01-01', '+' || (b % 9000 + d % 60) || ' days') END
FROM h;
CREATE TABLE ref(id INTEGER PRIMARY KEY, region TEXT, rating REAL, since DATE);
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 100000)
INSERT INTO ref SELECT i,
    CASE WHEN i % 10 = 9 THEN NULL ELSE 'region ' || ((i * 40503) % 97) END,
    CASE WHEN i % 10 = 4 THEN NULL ELSE ((i * 2654435761) % 5001) / 1000.0 END,
    date('1990-01-01', '+' || ((i * 2246822519) % 12000) || ' days')
FROM c;
CREATE TABLE small(
    id INTEGER PRIMARY KEY, qty INTEGER, price REAL, name TEXT, city TEXT,
    created DATE, ref_id INTEGER, score REAL, note TEXT, shipped DATE);
INSERT INTO small SELECT * FROM big WHERE id <= 1000;
DROP TABLE cities;
DROP TABLE words;
PRAGMA user_version = %2;
COMMIT;
)sql";

int userVersion(const QString &path)
{
    sqlite3 *db = nullptr;
    int version = -1;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            version = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return version;
}

} // namespace

QString ensureGetDatabase(const QString &folder)
{
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(QStringLiteral("get-bench.sqlite"));
    if (QFile::exists(path) && userVersion(path) == databaseVersion)
        return path;

    note(QStringLiteral("building %1 (once; kept for later runs)").arg(path));
    const double start = nowMs();
    // Built under another name and renamed, so an interrupted build is never
    // taken for a finished one.
    const QString building = path + QStringLiteral(".building");
    QFile::remove(building);
    QFile::remove(path);
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(building).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot create the benchmark database");
    }
    const QByteArray script = QString::fromUtf8(buildScript).arg(bigRows).arg(databaseVersion).toUtf8();
    char *error = nullptr;
    const int rc = sqlite3_exec(db, script.constData(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK)
        throw std::runtime_error("building the benchmark database failed: " + message);
    if (!QFile::rename(building, path))
        throw std::runtime_error("cannot rename the benchmark database");
    note(QStringLiteral("built in %1 s").arg((nowMs() - start) / 1000, 0, 'f', 1));
    return path;
}

std::optional<QStringList> wordsOfChild(const QStringList &arguments, int timeoutMs)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(timeoutMs) || child.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(child.readAllStandardOutput()).trimmed().split(u' ');
}

qint64 readAll(Database &database, const QString &select)
{
    qint64 sum = 0;
    auto rows = database.openRecordset(select);
    for (; !rows->eof(); rows->moveNext()) {
        for (int i = 0; i < rows->fieldCount(); ++i) {
            const FieldValue value = rows->value(i);
            if (value.type() == FieldValue::Type::Integer)
                sum += value.integer();
            else if (value.type() == FieldValue::Type::Text)
                sum += value.text().size();
        }
    }
    return sum;
}

} // namespace morvane::bench

// Damaged Access files: whatever libmdb does with them (crash, endless loop,
// nonsense), opening and reading fails cleanly with Failure, in bounded
// time, and the program goes on working.

#include "TestSupport.h"

#include <QRandomGenerator>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using morvane::Database;
using morvane::DatabaseEngine;
using morvane::Failure;
using morvane::EngineTimeouts;

namespace {

const QString testData = QStringLiteral(MORVANE_TEST_DATA);

// libmdb never returns on some damaged files; a short silence limit lets the
// watchdog end those waits quickly.
constexpr int readerSilenceMs = 300;

std::unique_ptr<Database> open(const QString &path)
{
    return DatabaseEngine::openDatabase(path, EngineTimeouts{1000, readerSilenceMs});
}

// Reads every value of every table.
void readEverything(Database &db)
{
    QStringList tables;
    for (auto names = db.openRecordset(QStringLiteral("select name from sqlite_schema")); !names->eof();
         names->moveNext())
        tables << names->value(0).text();
    for (const QString &table : tables) {
        auto rows = db.openRecordset(QStringLiteral("select * from [%1]").arg(table));
        for (; !rows->eof(); rows->moveNext()) {
            for (int i = 0; i < rows->fieldCount(); ++i)
                (void)rows->value(i);
        }
    }
}

enum class Outcome { Read, Refused, QueryFailed };

// The description of a failure is what the user sees; it must say something.
Outcome tryFile(const QString &path, QString &description)
{
    std::unique_ptr<Database> db;
    try {
        db = open(path);
    } catch (const Failure &error) {
        description = error.description();
        return Outcome::Refused;
    }
    try {
        readEverything(*db);
    } catch (const Failure &error) {
        description = error.description();
        // The failed query leaves the database usable.
        auto again = db->openRecordset(QStringLiteral("select count(*) from sqlite_schema"));
        if (again->eof() || again->value(0).integer() < 1)
            throw std::logic_error("The database stopped answering after a failed query.");
        return Outcome::QueryFailed;
    }
    return Outcome::Read;
}

struct Trial
{
    Outcome outcome = Outcome::Read;
    QString description;
    qint64 elapsedMs = 0;
    QString error;
};

// Tries the files side by side: most of the time goes to waiting out silent
// readers, which needs no processor. Each thread opens its own databases.
QList<Trial> tryFiles(const QStringList &paths)
{
    QList<Trial> trials(paths.size());
    std::atomic<qsizetype> next = 0;
    const auto work = [&] {
        for (qsizetype i = next++; i < paths.size(); i = next++) {
            QElapsedTimer timer;
            timer.start();
            try {
                trials[i].outcome = tryFile(paths[i], trials[i].description);
            } catch (const std::exception &error) {
                trials[i].error = QString::fromUtf8(error.what());
            }
            trials[i].elapsedMs = timer.elapsed();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(work);
    for (std::thread &thread : threads)
        thread.join();
    return trials;
}

// A good file still opens and reads correctly after whatever came before.
void checkGoodFileStillWorks()
{
    auto db = open(testData + QStringLiteral("/jet/types-ace14.accdb"));
    auto rows = db->openRecordset(QStringLiteral("select E from Table1 where A = 'abcdefg'"));
    QVERIFY(!rows->eof());
    QCOMPARE(rows->value(0).integer(), 333333333);
}

// The pages that hold structure: data pages (rows, the catalog, long values)
// and table definitions. Damage elsewhere mostly lands in unused space.
QList<qsizetype> structurePages(const QByteArray &file)
{
    const qsizetype pageSize = file.at(0x14) == 0 ? 2048 : 4096;
    QList<qsizetype> pages;
    for (qsizetype at = pageSize; at < file.size(); at += pageSize) {
        if (file.at(at) == 0x01 || file.at(at) == 0x02)
            pages << at;
    }
    return pages;
}

struct Variant
{
    QString name;
    QByteArray content;
};

// The damaged copies of one file; the same every run.
QList<Variant> damagedVariants(const QByteArray &original, quint32 seed)
{
    QList<Variant> variants;
    const qsizetype size = original.size();
    for (qsizetype length : {qsizetype(20), qsizetype(2048), qsizetype(4096), qsizetype(3 * 4096 + 100)})
        variants.append({QStringLiteral("cut at %1").arg(length), original.left(length)});
    for (int part = 1; part <= 4; ++part) {
        const qsizetype length = size * part / 5;
        variants.append({QStringLiteral("cut at %1/5").arg(part), original.left(length)});
    }

    const QList<qsizetype> pages = structurePages(original);
    const qsizetype pageSize = original.at(0x14) == 0 ? 2048 : 4096;
    QRandomGenerator random(seed);
    for (int i = 0; i < 12; ++i) {
        QByteArray copy = original;
        const int flips = QList<int>{1, 3, 12, 48}.at(i % 4);
        const bool inStructure = i % 2 == 0 && !pages.isEmpty();
        for (int f = 0; f < flips; ++f) {
            const qsizetype at = inStructure ? pages.at(random.bounded(pages.size())) + random.bounded(pageSize)
                                             : random.bounded(size);
            copy[at] = char(copy.at(at) ^ char(1 + random.bounded(255)));
        }
        const QString where = inStructure ? QStringLiteral(" in structure pages") : QString();
        variants.append({QStringLiteral("%1 bytes flipped%2, #%3").arg(flips).arg(where).arg(i), copy});
    }
    // Zeroed stretches: lengths of zero are what make libmdb's property
    // reader loop.
    for (int i = 0; i < 6 && !pages.isEmpty(); ++i) {
        QByteArray copy = original;
        const qsizetype at = pages.at(random.bounded(pages.size())) + random.bounded(pageSize - 64);
        std::fill(copy.begin() + at, copy.begin() + at + 8 + random.bounded(56), '\0');
        variants.append({QStringLiteral("zeroed stretch #%1").arg(i), copy});
    }
    return variants;
}

} // namespace

class tst_JetDamaged : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_folders.emplace(); }

    void hangingFiles()
    {
        const QDir folder(testData + QStringLiteral("/jet-hangs"));
        QStringList paths;
        for (const QString &file : folder.entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name))
            paths << folder.filePath(file);
        QVERIFY(!paths.isEmpty());
        const QList<Trial> trials = tryFiles(paths);
        for (qsizetype i = 0; i < paths.size(); ++i) {
            const Trial &trial = trials[i];
            QVERIFY2(trial.error.isEmpty(), qPrintable(paths[i] + u' ' + trial.error));
            QVERIFY2(trial.outcome != Outcome::Read, qPrintable(paths[i]));
            QVERIFY2(!trial.description.isEmpty(), qPrintable(paths[i]));
            // Only the watchdog ends these waits; the bound is generous for a busy machine.
            QVERIFY2(trial.elapsedMs < 2 * readerSilenceMs + 3000,
                     qPrintable(paths[i] + u' ' + QString::number(trial.elapsedMs)));
        }
        checkGoodFileStillWorks();
    }

    // Inputs that once crashed the reader or made it misbehave.
    void regressionFiles_data()
    {
        QTest::addColumn<QString>("path");
        const QDir folder(testData + QStringLiteral("/jet-damaged"));
        const QStringList files = folder.entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
        QVERIFY(!files.isEmpty());
        for (const QString &file : files)
            QTest::newRow(qPrintable(file)) << folder.filePath(file);
    }

    void regressionFiles()
    {
        QFETCH(QString, path);
        QString description;
        const Outcome outcome = tryFile(path, description);
        QVERIFY2(outcome == Outcome::Read || !description.isEmpty(), qPrintable(path));
        checkGoodFileStillWorks();
    }

    void damagedCopies_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<quint32>("seed");
        const QStringList files{"types-jet3.mdb",        "types-ace14.accdb",       "three-tables-ace14.accdb",
                                "longtext-ace12.accdb",  "numeric-jet4.mdb",        "rows512-jet4.mdb",
                                "overflow-rows-ace14.accdb", "bigint-ace16.accdb", "complex-ace12.accdb",
                                "calculated-ace14.accdb", "extended-date-ace17.accdb"};
        quint32 seed = 20240601;
        for (const QString &file : files)
            QTest::newRow(qPrintable(file)) << file << seed++;
    }

    void damagedCopies()
    {
        QFETCH(QString, file);
        QFETCH(quint32, seed);
        const QByteArray original = morvane::test::readFile(testData + QStringLiteral("/jet/") + file);
        QVERIFY(!original.isEmpty());
        QTemporaryDir folder;
        QVERIFY(folder.isValid());

        const QList<Variant> variants = damagedVariants(original, seed);
        QStringList paths;
        for (qsizetype i = 0; i < variants.size(); ++i) {
            paths << folder.filePath(QStringLiteral("damaged-%1.mdb").arg(i));
            morvane::test::writeFile(paths.last(), variants[i].content);
        }
        int read = 0;
        const QList<Trial> trials = tryFiles(paths);
        for (qsizetype i = 0; i < variants.size(); ++i) {
            const Trial &trial = trials[i];
            QVERIFY2(trial.error.isEmpty(), qPrintable(variants[i].name + u' ' + trial.error));
            read += trial.outcome == Outcome::Read;
            QVERIFY2(trial.outcome == Outcome::Read || !trial.description.isEmpty(), qPrintable(variants[i].name));
        }
        const qsizetype failed = variants.size() - read;
        // Both kinds occur, so the batch exercises the failures and the reads.
        QVERIFY(read > 0);
        QVERIFY(failed > 0);
        checkGoodFileStillWorks();
    }

    // Office's encryption wraps the whole database in a compound file: it is not
    // damaged, and the user is told what it is.
    void encryptedFileSaysSo()
    {
        QString description;
        QCOMPARE(tryFile(testData + QStringLiteral("/jet-damaged/encrypted-agile.accdb"), description), Outcome::Refused);
        const QString why = description.section(QStringLiteral("': "), 1);
        QVERIFY2(why.contains(QStringLiteral("encrypted")), qPrintable(description));
        QVERIFY2(!why.contains(QStringLiteral("damaged")), qPrintable(description));
    }

private:
    std::optional<morvane::test::IsolatedUserFolders> m_folders;
};

QTEST_GUILESS_MAIN(tst_JetDamaged)
#include "tst_jet_damaged.moc"

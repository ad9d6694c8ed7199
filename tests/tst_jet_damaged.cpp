// Damaged Access files: whatever libmdb does with them (crash, endless loop,
// nonsense), opening and reading fails cleanly with Failure, in bounded
// time, and the program goes on working.

#include "DatabaseEngine.h"
#include "EngineTimeouts.h"
#include "Failure.h"
#include "JetDatabase.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <stdexcept>

using morvane::Database;
using morvane::DatabaseEngine;
using morvane::Failure;
using morvane::JetDatabase;

namespace {

// A reader that falls silent is taken for hung this soon, so the hanging files
// cost the test a fraction of a second each.
const morvane::EngineTimeouts shortTimeouts{200, 300};

const QString testData = QStringLiteral(MORVANE_TEST_DATA);

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
Outcome tryFile(const QString &path, QString *description = nullptr)
{
    std::unique_ptr<Database> db;
    try {
        db = DatabaseEngine::openDatabase(path, shortTimeouts);
    } catch (const Failure &error) {
        if (description)
            *description = error.description();
        return Outcome::Refused;
    }
    try {
        readEverything(*db);
    } catch (const Failure &error) {
        if (description)
            *description = error.description();
        // The failed query leaves the database usable.
        auto again = db->openRecordset(QStringLiteral("select count(*) from sqlite_schema"));
        if (again->eof() || again->value(0).integer() < 1)
            throw std::logic_error("The database stopped answering after a failed query.");
        return Outcome::QueryFailed;
    }
    return Outcome::Read;
}

// A good file still opens and reads correctly after whatever came before.
void checkGoodFileStillWorks()
{
    auto db = DatabaseEngine::openDatabase(testData + QStringLiteral("/jet/types-ace14.accdb"));
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
    for (int part = 1; part <= 12; ++part) {
        const qsizetype length = size * part / 13;
        variants.append({QStringLiteral("cut at %1/13").arg(part), original.left(length)});
    }

    const QList<qsizetype> pages = structurePages(original);
    const qsizetype pageSize = original.at(0x14) == 0 ? 2048 : 4096;
    QRandomGenerator random(seed);
    for (int i = 0; i < 24; ++i) {
        QByteArray copy = original;
        const int flips = QList<int>{1, 3, 12, 48}.at(i % 4);
        const bool inStructure = i % 2 == 0 && !pages.isEmpty();
        for (int f = 0; f < flips; ++f) {
            const qsizetype at = inStructure ? pages.at(random.bounded(pages.size())) + random.bounded(pageSize)
                                             : random.bounded(size);
            copy[at] = char(copy.at(at) ^ char(1 + random.bounded(255)));
        }
        variants.append({QStringLiteral("%1 bytes flipped%2, #%3")
                             .arg(flips)
                             .arg(inStructure ? QStringLiteral(" in structure pages") : QString())
                             .arg(i),
                         copy});
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
    void initTestCase();
    void hangingFiles_data();
    void hangingFiles();
    void regressionFiles_data();
    void regressionFiles();
    void damagedCopies_data();
    void damagedCopies();

private:
    std::optional<morvane::test::IsolatedUserFolders> m_folders;
};

void tst_JetDamaged::initTestCase()
{
    m_folders.emplace();
}

void tst_JetDamaged::hangingFiles_data()
{
    QTest::addColumn<QString>("path");
    const QDir folder(testData + QStringLiteral("/jet-hangs"));
    const QStringList files = folder.entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
    QVERIFY(!files.isEmpty());
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << folder.filePath(file);
}

void tst_JetDamaged::hangingFiles()
{
    QFETCH(QString, path);
    QElapsedTimer timer;
    timer.start();
    QString description;
    const Outcome outcome = tryFile(path, &description);
    const qint64 elapsed = timer.elapsed();
    QVERIFY(outcome != Outcome::Read);
    QVERIFY(!description.isEmpty());
    // libmdb never returns on these files: only the watchdog ends the wait.
    // The bound is generous so that a busy machine cannot fail the test, and
    // far below forever.
    QVERIFY2(elapsed < 2 * shortTimeouts.readerSilenceMs + 3000, qPrintable(QString::number(elapsed)));
    checkGoodFileStillWorks();
}

// Inputs that once crashed the reader or made it misbehave.
void tst_JetDamaged::regressionFiles_data()
{
    QTest::addColumn<QString>("path");
    const QDir folder(testData + QStringLiteral("/jet-damaged"));
    const QStringList files = folder.entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
    QVERIFY(!files.isEmpty());
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << folder.filePath(file);
}

void tst_JetDamaged::regressionFiles()
{
    QFETCH(QString, path);
    QString description;
    const Outcome outcome = tryFile(path, &description);
    QVERIFY2(outcome == Outcome::Read || !description.isEmpty(), qPrintable(path));
    checkGoodFileStillWorks();
}

void tst_JetDamaged::damagedCopies_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<quint32>("seed");
    const QStringList files{"types-jet3.mdb",        "types-ace14.accdb",       "three-tables-ace14.accdb",
                            "longtext-ace12.accdb",  "numeric-jet4.mdb",        "rows512-jet4.mdb",
                            "overflow-rows-ace14.accdb", "bigint-ace16.accdb"};
    quint32 seed = 20240601;
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << file << seed++;
}

void tst_JetDamaged::damagedCopies()
{
    QFETCH(QString, file);
    QFETCH(quint32, seed);
    QFile source(testData + QStringLiteral("/jet/") + file);
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray original = source.readAll();
    QTemporaryDir folder;
    QVERIFY(folder.isValid());

    int read = 0;
    int failed = 0;
    for (const Variant &variant : damagedVariants(original, seed)) {
        const QString path = folder.filePath(QStringLiteral("damaged.mdb"));
        QFile copy(path);
        QVERIFY(copy.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(copy.write(variant.content), variant.content.size());
        copy.close();

        QString description;
        const Outcome outcome = tryFile(path, &description);
        if (outcome == Outcome::Read) {
            ++read;
        } else {
            ++failed;
            QVERIFY2(!description.isEmpty(), qPrintable(variant.name));
        }
    }
    // Both kinds occur, so the batch exercises the failures and the reads.
    QVERIFY(read > 0);
    QVERIFY(failed > 0);
    checkGoodFileStillWorks();
}

QTEST_GUILESS_MAIN(tst_JetDamaged)
#include "tst_jet_damaged.moc"

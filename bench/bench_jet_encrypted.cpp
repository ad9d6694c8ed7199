// An Access table of 1,000,000 rows encrypted with a password against the
// same table plain: `select count(*)` and a full scan, each the first
// statement after Open, so that every page is read from the file (and
// decrypted) again rather than served from the rows kept in memory. The Open
// itself is timed apart: it makes the key from the password, which Office's
// agile scheme makes slow on purpose, once per Open.
//
// bench_jet_encrypted [--scheme agile|rc4-cryptoapi]
//
// The plain file is rows512-jet4.mdb grown by JetFileGrower. The encrypted
// copy takes its header page from a test file saved by Access with "Encrypt
// with Password" (password "password"), and every other page from the plain
// file, encrypted the way that file's header says, with the key its password
// unlocks. Both are made once in build/bench-data; before anything is
// measured, both must read the same rows.
#include "BenchSupport.h"
#include "DatabaseEngine.h"
#include "EncryptionHeader.h"
#include "Failure.h"
#include "JetFileGrower.h"
#include "PageDecryptor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <mdbtools.h>

#include <cstdio>
#include <stdexcept>

using namespace morvane;
using namespace morvane::bench;

namespace {

constexpr qint64 rows = 1'000'000;
constexpr qint64 pageSize = 4096;

QString plainFile()
{
    QDir().mkpath(QStringLiteral(MORVANE_BENCH_DATA));
    const QString path = QStringLiteral(MORVANE_BENCH_DATA "/jet-%1-rows-plain.mdb").arg(rows);
    if (!QFileInfo::exists(path)) {
        JetFileGrower::grow(QStringLiteral(MORVANE_TEST_JET "/rows512-jet4.mdb"), path, QStringLiteral("Table1"),
                            QStringLiteral("CD_AGENTE"), rows);
    }
    return path;
}

// The key the pages are encoded with, as libmdb unmasks it from the header.
std::uint32_t encodingKey(const QString &file)
{
    MdbHandle *mdb = mdb_open(QFile::encodeName(file).constData(), MDB_NOFLAGS);
    if (!mdb)
        throw std::runtime_error("libmdb cannot open the encrypted test file");
    const std::uint32_t key = mdb->f->db_key;
    mdb_close(mdb);
    return key;
}

QString encryptedFile(const QString &plain, const QString &scheme)
{
    const QString source = QStringLiteral(MORVANE_TEST_JET "/%1-ace14.accdb").arg(scheme);
    const QString path = QStringLiteral(MORVANE_BENCH_DATA "/jet-%1-rows-%2.accdb").arg(rows).arg(scheme);
    if (QFileInfo::exists(path) && QFileInfo(path).lastModified() >= QFileInfo(plain).lastModified())
        return path;
    QFile header(source);
    QFile in(plain);
    QFile out(path);
    if (!header.open(QIODevice::ReadOnly) || !in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot read the files to encrypt or write the encrypted one");
    const QByteArray headerPage = header.read(pageSize);
    const std::optional<jetreader::SecretBytes> key =
        EncryptionHeader::read(headerPage)->unlock(QStringLiteral("password"));
    jetreader::PageDecryptor encrypter(key->view(), encodingKey(source), jetreader::PageDecryptor::Direction::Encrypt);
    out.write(headerPage);
    in.seek(pageSize);
    for (std::uint32_t number = 1; !in.atEnd(); ++number) {
        QByteArray page = in.read(pageSize);
        encrypter.apply(number, reinterpret_cast<unsigned char *>(page.data()), std::size_t(page.size()));
        out.write(page);
    }
    note(QStringLiteral("made %1").arg(QFileInfo(path).fileName()));
    return path;
}

std::unique_ptr<Database> open(const QString &path)
{
    return DatabaseEngine::openDatabase(
        path, {}, [](const QString &) { return std::optional<QString>(QStringLiteral("password")); });
}


// The first statement after Open on each file in turn, the Opens untimed:
// medians of `runs` after one warm-up. The Opens' medians go to `opens`.
Pair firstStatements(const QString &subject, const QString &baseline, const QString &select, Pair &opens)
{
    std::vector<double> times[2];
    std::vector<double> openTimes[2];
    for (int run = 0; run < 6; ++run) {
        for (int file = 0; file < 2; ++file) {
            double start = nowMs();
            const auto database = open(file == 0 ? subject : baseline);
            const double opened = nowMs();
            readAll(*database, select);
            if (run > 0) {
                openTimes[file].push_back(opened - start);
                times[file].push_back(nowMs() - opened);
            }
        }
    }
    opens = {median(openTimes[0]), median(openTimes[1])};
    return {median(times[0]), median(times[1])};
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QCoreApplication app(argc, argv);
    const QString scheme = app.arguments().value(1) == QStringLiteral("--scheme") ? app.arguments().value(2)
                                                                                  : QStringLiteral("agile");
    try {
        if (scheme != QStringLiteral("agile") && scheme != QStringLiteral("rc4-cryptoapi"))
            throw std::runtime_error("--scheme is agile or rc4-cryptoapi");
        const QString plain = plainFile();
        const QString encrypted = encryptedFile(plain, scheme);
        note(QStringLiteral("%1 cores; %2 rows; %3 encrypted against plain, each sample the first statement "
                            "after an (untimed) Open; 1 warm-up, 5 runs")
                 .arg(QThread::idealThreadCount())
                 .arg(rows)
                 .arg(scheme));
        for (const auto &[name, select] : {std::pair{QStringLiteral("select count(*)"), QStringLiteral("select count(*) from Table1")},
                                           std::pair{QStringLiteral("full scan (select *)"), QStringLiteral("select * from Table1")}}) {
            if (readAll(*open(encrypted), select) != readAll(*open(plain), select))
                throw std::runtime_error("the encrypted file reads other rows than the plain one");
            Pair opens{};
            const Pair pair = firstStatements(encrypted, plain, select, opens);
            report(QStringLiteral("jet 1M %1 %2").arg(scheme, name), pair.subjectMs, pair.baselineMs, 1.5);
            reportLine(QStringLiteral("jet 1M %1 its Open").arg(scheme), opens.subjectMs, opens.baselineMs,
                       QStringLiteral("-"), "-");
        }
    } catch (const Failure &error) {
        std::fprintf(stderr, "bench_jet_encrypted: %s\n", qPrintable(error.description()));
        return 1;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_jet_encrypted: %s\n", error.what());
        return 1;
    }
    return 0;
}

// Access files saved with "Encrypt with Password": both of Office's schemes
// open with the right password and read like any other file; a wrong or
// missing password, or a damaged description of the encryption, is refused
// with a clear reason, and a damaged page fails without a crash or a hang.

#include "EncryptionHeader.h"
#include "PageDecryptor.h"
#include "TestSupport.h"
#include "mdlMain.h"

#include <QFile>
#include <QTemporaryDir>

#include <mdbtools.h>

using morvane::Database;
using morvane::DatabaseEngine;
using morvane::EngineTimeouts;
using morvane::Failure;
using morvane::PasswordPrompt;

namespace {

const QString jetData = QStringLiteral(MORVANE_TEST_DATA "/jet/");

// Short enough that a damaged page costs little, long enough for a reader
// built with the sanitizers.
const EngineTimeouts timeouts{1000, 2000};

PasswordPrompt answering(const QString &password, QStringList *askedFor = nullptr)
{
    return [=](const QString &fileName) -> std::optional<QString> {
        if (askedFor)
            *askedFor << fileName;
        return password;
    };
}

// The description of the failure to open `path`, or a test failure when it
// opened.
QString refusal(const QString &path, const PasswordPrompt &prompt)
{
    try {
        auto db = DatabaseEngine::openDatabase(path, timeouts, prompt);
    } catch (const Failure &error) {
        return error.description();
    }
    return QStringLiteral("(it opened)");
}

QStringList rows(Database &db, const QString &select)
{
    QStringList found;
    for (auto rs = db.openRecordset(select); !rs->eof(); rs->moveNext())
        found << morvane::FieldText(rs->value(0)) + u' ' + morvane::FieldText(rs->value(1));
    return found;
}

// `plain` with the header page of `encryptedFile` and every other page
// encrypted the way that header says, written to `path`.
bool encryptLike(const QString &plain, const QString &encryptedFile, const QString &path)
{
    QFile header(encryptedFile);
    QFile in(plain);
    QFile out(path);
    if (!header.open(QIODevice::ReadOnly) || !in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    MdbHandle *mdb = mdb_open(QFile::encodeName(encryptedFile).constData(), MDB_NOFLAGS);
    if (!mdb)
        return false;
    const std::uint32_t encodingKey = mdb->f->db_key;
    mdb_close(mdb);
    const QByteArray headerPage = header.read(4096);
    const auto key = morvane::EncryptionHeader::read(headerPage)->unlock(QStringLiteral("password"));
    morvane::jetreader::PageDecryptor encrypter(key->view(), encodingKey,
                                                morvane::jetreader::PageDecryptor::Direction::Encrypt);
    out.write(headerPage);
    in.seek(4096);
    for (std::uint32_t number = 1; !in.atEnd(); ++number) {
        QByteArray page = in.read(4096);
        encrypter.apply(number, reinterpret_cast<unsigned char *>(page.data()), std::size_t(page.size()));
        out.write(page);
    }
    return true;
}

} // namespace

class tst_JetEncrypted : public QObject
{
    Q_OBJECT

private slots:
    void rightWrongAndMissingPassword_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("agile") << QStringLiteral("agile-ace14.accdb");
        QTest::newRow("RC4 CryptoAPI") << QStringLiteral("rc4-cryptoapi-ace14.accdb");
    }

    void rightWrongAndMissingPassword()
    {
        QFETCH(QString, file);
        const QString path = jetData + file;

        QStringList askedFor;
        auto db = DatabaseEngine::openDatabase(path, timeouts, answering(QStringLiteral("password"), &askedFor));
        QCOMPARE(askedFor, QStringList{file});
        QCOMPARE(rows(*db, QStringLiteral("select ID, Data from Table1 order by ID")),
                 (QStringList{QStringLiteral("1 One"), QStringLiteral("2 Two"), QStringLiteral("3 Three")}));
        QCOMPARE(db->countRows(QStringLiteral("select * from Table1 where Data like 'T%'")), 2);
        // A join of the table with itself reads as on any file.
        QCOMPARE(rows(*db, QStringLiteral("select count(*), max(b.Data) from Table1 a, Table1 b where a.ID <> b.ID")),
                 QStringList{QStringLiteral("6 Two")});

        QVERIFY(refusal(path, answering(QStringLiteral("Password"))).endsWith(QStringLiteral(": wrong password.")));
        QVERIFY(refusal(path, answering(QString())).endsWith(QStringLiteral(": wrong password.")));
        const auto declining = [](const QString &) { return std::optional<QString>(); };
        QVERIFY(refusal(path, declining).endsWith(QStringLiteral(": a password is needed.")));
        QVERIFY(refusal(path, {}).endsWith(QStringLiteral(": a password is needed.")));
    }

    // A table of many pages, whose following pages are decrypted ahead on a
    // thread of their own while the ones before are read, reads as its plain
    // copy does: whole, by count, and through a filter.
    void manyPagesReadAsPlain()
    {
        QFETCH(QString, file);
        QTemporaryDir folder;
        const QString plainPath = jetData + QStringLiteral("rows512-jet4.mdb");
        const QString path = folder.filePath(file);
        QVERIFY(encryptLike(plainPath, jetData + file, path));
        auto plain = DatabaseEngine::openDatabase(plainPath, timeouts, {});
        auto encrypted = DatabaseEngine::openDatabase(path, timeouts, answering(QStringLiteral("password")));
        const QString all = QStringLiteral("select * from Table1");
        const QStringList expected = rows(*plain, all);
        QCOMPARE(expected.size(), 512);
        QCOMPARE(rows(*encrypted, all), expected);
        QCOMPARE(encrypted->countRows(all), 512);
        const QString some = QStringLiteral("select * from Table1 where CD_AGENTE < 100 or CD_AGENTE > 400");
        QCOMPARE(rows(*encrypted, some), rows(*plain, some));
    }

    void manyPagesReadAsPlain_data() { rightWrongAndMissingPassword_data(); }

    // A Jet 4 database password only masks the header: no prompt, as before.
    void jet4DatabasePasswordAsksNothing()
    {
        QStringList askedFor;
        auto db = DatabaseEngine::openDatabase(jetData + QStringLiteral("password-jet4-2003.mdb"), timeouts,
                                               answering(QStringLiteral("password"), &askedFor));
        QVERIFY(askedFor.isEmpty());
        QCOMPARE(rows(*db, QStringLiteral("select ID, Data from Table1 order by ID")).size(), 3);
    }

    // Office's other way, a compound file around the encrypted database, is
    // still refused with what it is, without asking for a password.
    void compoundFileWrapperIsRefusedClearly()
    {
        QByteArray file(1024, '\0');
        file.replace(0, 8, QByteArray::fromHex("d0cf11e0a1b11ae1"));
        file[0x1e] = 9; // sectors of 512 bytes; the directory in sector 0
        const QString stream = QStringLiteral("EncryptedPackage");
        file.replace(512, stream.size() * 2, QByteArray(reinterpret_cast<const char *>(stream.utf16()), stream.size() * 2));
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("wrapped.accdb"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
        out.close();
        QStringList askedFor;
        QVERIFY(refusal(path, answering(QStringLiteral("password"), &askedFor)).contains(QStringLiteral("(Office encryption)")));
        QVERIFY(askedFor.isEmpty());
    }

    // Changed bytes in the description of the encryption, and a file cut
    // inside a page: a refusal or a failing statement, never a crash or a
    // hang, and a right password never opens a file whose description lies.
    void damagedFilesAreRefused_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("truncateTo");
        QTest::addColumn<QString>("expected");
        // The pages' salt in the XML descriptor (the password still fits,
        // the pages come out as noise), its start, and its length.
        QTest::newRow("agile salt") << QStringLiteral("agile-ace14.accdb") << qint64(0x454) << QByteArray("AAAA")
                                    << qint64(-1) << QStringLiteral("damaged.");
        QTest::newRow("agile XML") << QStringLiteral("agile-ace14.accdb") << qint64(0x2a5) << QByteArray("<<")
                                   << qint64(-1) << QStringLiteral("damaged.");
        QTest::newRow("agile length") << QStringLiteral("agile-ace14.accdb") << qint64(0x299)
                                      << QByteArray("\xff\xff", 2) << qint64(-1) << QStringLiteral("damaged.");
        // The verifier of RC4 CryptoAPI, and its salt size.
        QTest::newRow("rc4 verifier") << QStringLiteral("rc4-cryptoapi-ace14.accdb") << qint64(0x32b)
                                      << QByteArray("\x01\x02", 2) << qint64(-1) << QStringLiteral("wrong password.");
        QTest::newRow("rc4 salt size") << QStringLiteral("rc4-cryptoapi-ace14.accdb") << qint64(0x325)
                                       << QByteArray("\x70", 1) << qint64(-1) << QStringLiteral("damaged.");
        QTest::newRow("rc4 version") << QStringLiteral("rc4-cryptoapi-ace14.accdb") << qint64(0x29b)
                                     << QByteArray("\x09", 1) << qint64(-1) << QStringLiteral("(version 9.2).");
        // The catalog's page cut in half.
        QTest::newRow("agile cut") << QStringLiteral("agile-ace14.accdb") << qint64(0) << QByteArray()
                                   << qint64(2 * 4096 + 2000) << QString();
        QTest::newRow("rc4 cut") << QStringLiteral("rc4-cryptoapi-ace14.accdb") << qint64(0) << QByteArray()
                                 << qint64(2 * 4096 + 2000) << QString();
    }

    void damagedFilesAreRefused()
    {
        QFETCH(QString, file);
        QFETCH(qint64, offset);
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, truncateTo);
        QFETCH(QString, expected);
        QTemporaryDir folder;
        const QString path = folder.filePath(file);
        QVERIFY(QFile::copy(jetData + file, path));
        QFile damaged(path);
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        if (truncateTo >= 0)
            QVERIFY(damaged.resize(truncateTo));
        QVERIFY(damaged.seek(offset));
        QCOMPARE(damaged.write(bytes), bytes.size());
        damaged.close();

        QString why;
        try {
            auto db = DatabaseEngine::openDatabase(path, timeouts, answering(QStringLiteral("password")));
            rows(*db, QStringLiteral("select ID, Data from Table1"));
            why = QStringLiteral("(it was read)");
        } catch (const Failure &error) {
            why = error.description();
        }
        QVERIFY2(why.endsWith(expected) && why != QStringLiteral("(it was read)"), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(tst_JetEncrypted)
#include "tst_jet_encrypted.moc"

// Opening an Access file from any bytes through the program's own open, which
// hands the file to the reader process, then reading every value of every
// table: the program neither crashes nor hangs, and no reader outlives the
// database. Whatever libmdb does inside the reader must come back as a
// Failure.
#include "DatabaseEngine.h"
#include "FuzzText.h"
#include "ScratchRun.h"
#include "mdlMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <limits>

using namespace morvane;

namespace {

// A reader that says nothing for this long is taken for hung and killed: far
// below the program's limit, so a looping libmdb costs little fuzzing time,
// and above the start of a reader built with the sanitizers.
constexpr int readerSilenceMs = 200;

// A damaged catalog can name any number of tables, each of which may cost a
// silence limit; this many keeps one input well within the hang timeout.
constexpr qsizetype maxTables = 24;

// The kernel keeps the first 15 bytes of a program's name.
const QByteArray readerProgram = QByteArrayLiteral("morvane-jet-reader");

QStringList tablesOf(Database &database)
{
    QStringList tables;
    try {
        auto names = database.openRecordset(QStringLiteral("select name from sqlite_schema where type = 'table'"));
        for (; !names->eof() && tables.size() < maxTables; names->moveNext())
            tables << FieldText(names->value(0));
    } catch (const Failure &) {
    }
    return tables;
}

// Every reader is the fuzzer's child and is killed and reaped with its
// database: one still running, or left unreaped, is a leak. Other children
// (the sanitizers' symbolizer) live on, so readers are told by their name.
void checkNoReaderLeft()
{
    const QByteArray self = QByteArray::number(::getpid());
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &process : processes) {
        QFile stat(QStringLiteral("/proc/") + process + QStringLiteral("/stat"));
        if (!process.front().isDigit() || !stat.open(QIODevice::ReadOnly))
            continue;
        // pid (name) state parent ...
        const QByteArray line = stat.readAll();
        const qsizetype nameEnd = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(nameEnd + 2).split(' ');
        const QByteArray name = line.mid(line.indexOf('(') + 1, nameEnd - line.indexOf('(') - 1);
        if (fields.size() > 1 && fields[1] == self && !name.isEmpty() && readerProgram.startsWith(name))
            fuzz::fail(fields[0] == "Z" ? "a reader process was left unreaped" : "a reader process outlived its database");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir folder;
    static const QString path = folder.filePath(QStringLiteral("fuzz.mdb"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fuzz::fail("cannot write the scratch file");
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    try {
        std::unique_ptr<Database> database = DatabaseEngine::openDatabase(path, EngineTimeouts{0, readerSilenceMs});
        for (const QString &table : tablesOf(*database)) {
            const QString quoted = u'"' + QString(table).replace(u'"', QStringLiteral("\"\"")) + u'"';
            fuzz::readSome(*database, QStringLiteral("select * from ") + quoted, std::numeric_limits<int>::max());
        }
    } catch (const Failure &) {
    }
    checkNoReaderLeft();
    return 0;
}

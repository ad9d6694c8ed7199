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
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
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

// A frame of a sanitizer's unsymbolized stack trace, and the file the code is
// in: "#3 0x55d0c1  (/usr/lib/libmdb.so.3+0x1c2e0)".
const QRegularExpression frame(QStringLiteral("^\\s*#(\\d+) 0x[0-9a-f]+ .*\\((/[^+]+)\\+0x[0-9a-f]+\\)"),
                               QRegularExpression::MultilineOption);

// The files of the code on the first stack of a report, innermost first.
QStringList firstStack(const QString &report)
{
    QStringList files;
    for (auto frames = frame.globalMatch(report); frames.hasNext();) {
        const auto match = frames.next();
        if (match.captured(1) == QStringLiteral("0") && !files.isEmpty())
            break;
        files << match.captured(2);
    }
    return files;
}

// libmdb is not built with the sanitizers: they see its faults where it calls
// the C library (through the sanitizers' own copies of those functions, in
// the reader's program file) or crashes, and there the reader's containment
// is what counts. A fault first met in the reader's own code is a finding,
// as is any undefined behaviour: only the reader's own code is checked for it.
bool faultInReaderCode(const QString &report)
{
    if (report.contains(QStringLiteral("runtime error:")))
        return true;
    const QStringList stack = firstStack(report);
    const auto isLibmdb = [](const QString &file) { return file.contains(QStringLiteral("/libmdb")); };
    const auto isOtherSystemLibrary = [&](const QString &file) {
        return !isLibmdb(file) && (file.startsWith(QStringLiteral("/lib/")) || file.startsWith(QStringLiteral("/usr/lib/")));
    };
    qsizetype at = 0;
    while (at < stack.size() && isOtherSystemLibrary(stack[at]))
        ++at;
    if (at == stack.size() || isLibmdb(stack[at]))
        return false;
    // The reader's program file: its own code, or a sanitizer's copy of a C
    // function, which only libmdb's calls exempt.
    return at + 1 == stack.size() || !isLibmdb(stack[at + 1]);
}

// An empty folder for the reports: any there now are from an earlier run.
bool prepareReportFolder()
{
    QDir reports(QStringLiteral(MORVANE_READER_REPORTS));
    for (const QString &stale : reports.entryList(QDir::Files))
        reports.remove(stale);
    return reports.mkpath(QStringLiteral("."));
}

// Reads and removes what the sanitizers wrote about the readers of the last
// input.
void checkReaderReports()
{
    static qint64 contained = 0;
    QDir reports(QStringLiteral(MORVANE_READER_REPORTS));
    for (const QFileInfo &info : reports.entryInfoList(QDir::Files)) {
        QFile file(info.filePath());
        const QString report = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        file.remove();
        if (faultInReaderCode(report)) {
            std::fprintf(stderr, "%s\n", qPrintable(report));
            fuzz::fail("the reader's own code failed a sanitizer's check");
        }
        std::fprintf(stderr, "fuzz: a fault in libmdb was contained (%lld so far): %s\n", ++contained,
                     qPrintable(report.section(u'\n', 1, 1).trimmed()));
    }
}

// Office's agile keys take as many hash rounds as the file asks, up to ten
// million (seconds by design, and more with the sanitizers); the seeds ask
// 100,000. An input that may ask anything else is opened without a password,
// so that the time limit finds hangs, not the key's deliberate slowness.
bool slowKey(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, qsizetype(size));
    const QByteArrayView name("spinCount");
    const QByteArrayView seeds("spinCount=\"100000\"");
    for (qsizetype at = input.indexOf(name); at >= 0; at = input.indexOf(name, at + 1)) {
        if (!input.sliced(at).startsWith(seeds))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir folder;
    static const bool reportsReady = prepareReportFolder();
    if (!reportsReady)
        fuzz::fail("cannot make the folder for the reader's sanitizer reports");
    static const QString path = folder.filePath(QStringLiteral("fuzz.mdb"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fuzz::fail("cannot write the scratch file");
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    try {
        // The seeds encrypted with a password have this one, so that their
        // mutants reach the key and the pages, not only the header.
        const auto password = [&](const QString &) -> std::optional<QString> {
            if (slowKey(data, size))
                return std::nullopt;
            return QStringLiteral("password");
        };
        std::unique_ptr<Database> database =
            DatabaseEngine::openDatabase(path, EngineTimeouts{0, readerSilenceMs}, password);
        for (const QString &table : tablesOf(*database)) {
            const QString quoted = u'"' + QString(table).replace(u'"', QStringLiteral("\"\"")) + u'"';
            fuzz::readSome(*database, QStringLiteral("select * from ") + quoted, std::numeric_limits<int>::max());
        }
    } catch (const Failure &) {
    }
    checkNoReaderLeft();
    checkReaderReports();
    return 0;
}

// Opening an SQLite file from any bytes through the program's own open, then
// reading every table of it and counting one: no crash, no hang.
#include "DatabaseEngine.h"
#include "FuzzText.h"
#include "ScratchRun.h"
#include "mdlMain.h"

#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir folder;
    static const QString path = folder.filePath(QStringLiteral("fuzz.sqlite"));
    static const bool limited = sqlite3_hard_heap_limit64(256 << 20) >= 0;
    (void)limited;
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            fuzz::fail("cannot write the scratch file");
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    try {
        std::unique_ptr<Database> database = DatabaseEngine::openDatabase(path, EngineTimeouts{0, 100});
        fuzz::Watchdog watchdog(*database, std::chrono::milliseconds(100));
        QStringList tables;
        try {
            auto names = database->openRecordset(QStringLiteral("select name from sqlite_schema where type in ('table', 'view') limit 16"));
            for (; !names->eof(); names->moveNext())
                tables << FieldText(names->value(0));
        } catch (const Failure &) {
        }
        for (const QString &table : tables) {
            const QString quoted = u'"' + QString(table).replace(u'"', QStringLiteral("\"\"")) + u'"';
            fuzz::readSome(*database, QStringLiteral("select * from ") + quoted, 200);
            try {
                (void)database->countRows(QStringLiteral("select * from ") + quoted);
            } catch (const Failure &) {
            }
        }
    } catch (const Failure &) {
    }
    return 0;
}

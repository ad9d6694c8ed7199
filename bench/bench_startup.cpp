// Start-up: from starting the process to the selection dialog on screen,
// against a minimal Qt Widgets program that shows one dialog with a line of
// text. Both report "shown" once their first window is painted, then quit.
//
// bench_startup [runs]
#include "BenchSupport.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <stdexcept>

using namespace morvane;
using namespace morvane::bench;

namespace {

class Launcher
{
public:
    Launcher(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
        : m_program(program), m_arguments(arguments), m_environment(environment)
    {
    }

    // Milliseconds from the start of the process to its "shown".
    double run() const
    {
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const double start = nowMs();
        process.start(m_program, m_arguments);
        QByteArray output;
        while (!output.contains('\n')) {
            if (!process.waitForReadyRead(20000))
                throw std::runtime_error(("no \"shown\" from " + m_program).toStdString());
            output += process.readAllStandardOutput();
        }
        const double elapsed = nowMs() - start;
        if (!output.startsWith("shown"))
            throw std::runtime_error(("unexpected output from " + m_program).toStdString());
        process.waitForFinished(20000);
        return elapsed;
    }

private:
    QString m_program;
    QStringList m_arguments;
    QProcessEnvironment m_environment;
};

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment bench;
    QCoreApplication app(argc, argv);
    const int runs = app.arguments().size() > 1 ? qMax(5, app.arguments().value(1).toInt()) : 31;

    try {
        // A user who has run the program before: a remembered path and statements.
        const QString config = QDir(bench.path()).filePath(QStringLiteral("config"));
        {
            SettingsStore settings(QDir(config).filePath(QStringLiteral("Morvane/Morvane.ini")));
            settings.setDatabasePath(QStringLiteral("/home/user/data/shop.sqlite"));
            settings.setSelectStatement(QStringLiteral("select * from customers order by name"));
            settings.setExecuteStatement(QStringLiteral("update orders set shipped = 1 where id = 7"));
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), bench.path());
        for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            environment.insert(QString::fromLatin1(name), qEnvironmentVariable(name));

        const QString bin = QCoreApplication::applicationDirPath();
        const Launcher program(QDir(bin).filePath(QStringLiteral("bench_morvane_probe")), {}, environment);
        const Launcher dialog(QDir(bin).filePath(QStringLiteral("bench_dialog")), {}, environment);
        const Launcher emptyDialog(QDir(bin).filePath(QStringLiteral("bench_dialog")), {QStringLiteral("--empty")},
                                   environment);

        note(QStringLiteral("%1 cores; platform %2; process start to the first window painted; 3 warm-ups, %3 runs")
                 .arg(QThread::idealThreadCount())
                 .arg(environment.value(QStringLiteral("QT_QPA_PLATFORM")))
                 .arg(runs));
        // In turns, so that all see the same state of the machine.
        for (int i = 0; i < 3; ++i) {
            program.run();
            dialog.run();
            emptyDialog.run();
        }
        std::vector<double> programTimes;
        std::vector<double> dialogTimes;
        std::vector<double> emptyTimes;
        for (int i = 0; i < runs; ++i) {
            programTimes.push_back(program.run());
            dialogTimes.push_back(dialog.run());
            emptyTimes.push_back(emptyDialog.run());
        }
        report(QStringLiteral("start-up to the selection dialog"), median(programTimes), median(dialogTimes), 1.2);
        // A dialog without text never loads a font; every dialog with text does.
        reportLine(QStringLiteral("  against a dialog without text"), median(programTimes), median(emptyTimes),
                   QStringLiteral("-"), "-");
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_startup: %s\n", error.what());
        return 1;
    }
    return 0;
}

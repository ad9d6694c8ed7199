#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <vector>

namespace morvane {
class Database;
}

namespace morvane::bench {

// What every benchmark shares: its own settings folders, a median timer,
// the one-line report per case, and the generated SQLite database. Everything
// runs on the calling (GUI) thread.

// Points the settings and data folders at a temporary folder for the life of
// the object, so a benchmark never reads or writes the user's own settings,
// and runs on the offscreen platform unless another is asked for. Create it
// before QApplication.
class BenchEnvironment
{
public:
    BenchEnvironment();
    [[nodiscard]] QString path() const { return m_root.path(); }

private:
    QTemporaryDir m_root;
};

// Milliseconds since an arbitrary start, monotonic.
[[nodiscard]] double nowMs();

[[nodiscard]] double median(std::vector<double> values);

// Runs `subject` and `baseline` alternately, `warmups` times unmeasured and
// then `runs` times measured, so that both see the same caches and the same
// drift of the machine. `between` runs after each measured call, untimed.
struct Pair
{
    double subjectMs;
    double baselineMs;
};
[[nodiscard]] Pair measurePair(int warmups, int runs, const std::function<void()> &subject,
                               const std::function<void()> &baseline, const std::function<void()> &between = {});

// Prints one case: the median, the baseline's median, their ratio, the
// target and the verdict ("met", "MISSED", or "-" for a line without target).
void reportLine(const QString &name, double subjectMs, double baselineMs, const QString &target, const char *verdict);
// A case whose target is a bound on the ratio.
void report(const QString &name, double subjectMs, double baselineMs, double targetRatio);
// The same line for a case whose target is an absolute time.
void reportAbsolute(const QString &name, double subjectMs, double baselineMs, double targetMs);
// A line of context that is not a case.
void note(const QString &text);

// The median time of storing `statement` as the remembered select statement,
// which every Get does first: on most file systems a synchronous write.
[[nodiscard]] double settingsWriteMs(const QString &statement);

// Reads every value of a statement's rows; the sum of the integers and the
// texts' lengths shows that two runs, or two files, gave the same rows.
qint64 readAll(Database &database, const QString &select);

// Runs this benchmark program again with `arguments` and returns the words
// its standard output printed, or nothing when it failed or ran past
// `timeoutMs`. Each memory case runs in a fresh process, so that the peak of
// one cannot hide in another's.
[[nodiscard]] std::optional<QStringList> wordsOfChild(const QStringList &arguments, int timeoutMs);

// The peak resident memory of this process so far, in kilobytes (VmHWM).
[[nodiscard]] qint64 peakResidentKb();

// The generated database of the SQLite benchmarks: `big` (1,000,000 rows of
// ten columns: integers, reals, texts, dates, about 10% Nulls), `ref`
// (100,000 rows joined on big.ref_id) and `small` (big's first 1000 rows).
// Built once and kept in `folder`; rebuilt when its layout version changes.
[[nodiscard]] QString ensureGetDatabase(const QString &folder);

} // namespace morvane::bench

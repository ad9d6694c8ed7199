// The outline: UpdateOutline and the rebuild of the outline list, as every
// change of the select statement runs them, for statements of 2 KB, 100 KB
// and 1 MB. The baseline is the least any outline of the text must do: take
// the text out of the box and lower-case it.
//
// bench_outline [--only sdk]   s: the report-shaped statements, d: the data
//                              dump shape, k: a whole keystroke (default: all)
#include "BenchSupport.h"
#include "BenchApp.h"
#include "OutlineList.h"
#include "ResultModel.h"
#include "frmMain.h"

#include <QApplication>
#include <QKeyEvent>
#include "StatementBox.h"
#include <QThread>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <memory>

using namespace morvane;
using namespace morvane::bench;

namespace {

// A wide report query as it is pasted: qualified columns, aliases, aggregates,
// a list of tables and a where clause, grown to `size` characters.
QString statementOfSize(qsizetype size)
{
    QString fields;
    QString tables;
    QString conditions;
    for (int i = 0; fields.size() + tables.size() + conditions.size() + 64 < size; ++i) {
        switch (i % 3) {
        case 0:
            fields += QStringLiteral("o.column_%1, ").arg(i);
            break;
        case 1:
            fields += QStringLiteral("c.name_%1 as customer_%1, ").arg(i);
            break;
        default:
            fields += QStringLiteral("sum(l.amount_%1) as total_%1, ").arg(i);
            break;
        }
        if (i % 8 == 0)
            tables += QStringLiteral(", table_%1 t%1").arg(i);
        if (i % 4 == 0)
            conditions += QStringLiteral(" and o.k_%1 = c.k_%1").arg(i);
    }
    return QStringLiteral("SELECT ") + fields + QStringLiteral("o.id FROM orders o") + tables
        + QStringLiteral(", customers c WHERE 1 = 1") + conditions;
}

// The shape a pasted data dump has: short names and little else, so the most
// outline lines a text of its size can give.
QString dumpOfSize(qsizetype size)
{
    const qsizetype pieces = (size - 32) / 3;
    QString text = QStringLiteral("select ");
    text.reserve(size);
    for (qsizetype i = 0; i < pieces * 2 / 3; ++i)
        text += QStringLiteral("a, ");
    text += QStringLiteral("z from ");
    for (qsizetype i = 0; i < pieces / 3; ++i)
        text += QStringLiteral("t, ");
    text += u'u';
    return text;
}

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

void typeKey(QWidget *target, Qt::Key key, const QString &text)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(target, &release);
}

// One window per text, so that sizes can be measured in turns.
std::unique_ptr<frmMain> showWindow(const QString &statement)
{
    auto window = std::make_unique<frmMain>(benchApp().context);
    window->show();
    for (int i = 0; i < 20 && !window->windowHandle()->isExposed(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    window->txtSelect->setPlainText(statement);
    settle();
    return window;
}

// What every change of the text runs: UpdateOutline and the list rebuild.
std::function<void()> outline(frmMain &window, int times)
{
    return [&window, times] {
        for (int i = 0; i < times; ++i)
            emit window.txtSelect->textChanged();
    };
}

qint64 sink = 0;

std::function<void()> lowered(frmMain &window, int times)
{
    return [&window, times] {
        for (int i = 0; i < times; ++i)
            sink += window.txtSelect->toPlainText().toLower().size();
    };
}

void describe(const char *name, const frmMain &window)
{
    note(QStringLiteral("  %1: %2 characters, %3 outline lines")
             .arg(QString::fromLatin1(name))
             .arg(window.txtSelect->toPlainText().size())
             .arg(window.outlineList->itemCount()));
}

// The outline of the large text against that of the medium one, each as a
// user typing into that box meets it (after a run of its own), measured in
// rounds so that a change in the machine's load falls on both.
Pair linearity(frmMain &large, frmMain &medium)
{
    std::vector<double> largeTimes;
    std::vector<double> mediumTimes;
    for (int round = 0; round < 9; ++round) {
        outline(large, 1)();
        double start = nowMs();
        outline(large, 1)();
        largeTimes.push_back(nowMs() - start);
        settle();
        outline(medium, 1)();
        start = nowMs();
        outline(medium, 10)();
        mediumTimes.push_back((nowMs() - start) / 10);
        settle();
    }
    return {median(largeTimes), median(mediumTimes)};
}

void measureStatements(frmMain &small)
{
    std::unique_ptr<frmMain> medium = showWindow(statementOfSize(100 * 1024));
    std::unique_ptr<frmMain> large = showWindow(statementOfSize(1024 * 1024));
    describe("2 KB", small);
    describe("100 KB", *medium);
    describe("1 MB", *large);

    Pair pair = measurePair(2, 15, outline(small, 200), lowered(small, 200), settle);
    reportAbsolute(QStringLiteral("outline 2 KB, per keystroke"), pair.subjectMs / 200, pair.baselineMs / 200, 0.2);
    pair = measurePair(1, 11, outline(*medium, 4), lowered(*medium, 4), settle);
    reportLine(QStringLiteral("outline 100 KB"), pair.subjectMs / 4, pair.baselineMs / 4, QStringLiteral("-"), "-");
    pair = measurePair(1, 7, outline(*large, 1), lowered(*large, 1), settle);
    reportLine(QStringLiteral("outline 1 MB"), pair.subjectMs, pair.baselineMs, QStringLiteral("-"), "-");
    // Linear: ten times the text may take at most about ten times as long.
    const Pair linear = linearity(*large, *medium);
    report(QStringLiteral("outline 1 MB over 100 KB (linear)"), linear.subjectMs, linear.baselineMs, 12);
}

// The densest shape: the list's share grows with the number of lines.
void measureDump()
{
    std::unique_ptr<frmMain> medium = showWindow(dumpOfSize(100 * 1024));
    std::unique_ptr<frmMain> large = showWindow(dumpOfSize(1024 * 1024));
    describe("100 KB dump", *medium);
    describe("1 MB dump", *large);
    // Not a target: at 1 MB the list's 350,000 items, tens of megabytes, no
    // longer fit the processor's caches, and each costs about a tenth more.
    const Pair pair = linearity(*large, *medium);
    reportLine(QStringLiteral("outline dump 1 MB over 100 KB"), pair.subjectMs, pair.baselineMs, QStringLiteral("-"), "-");
}

// For context: a whole keystroke in the 2 KB box, the text box's own work
// included, typed at the end and taken back.
void measureKeystroke(frmMain &small)
{
    small.txtSelect->setCursorPosition(small.txtSelect->toPlainText().size());
    small.txtSelect->setFocus();
    settle();
    const Pair keystroke = measurePair(
        2, 15,
        [&] {
            for (int i = 0; i < 50; ++i) {
                typeKey(small.txtSelect, Qt::Key_X, QStringLiteral("x"));
                typeKey(small.txtSelect, Qt::Key_Backspace, QString());
            }
        },
        outline(small, 100), settle);
    reportLine(QStringLiteral("2 KB keystroke incl. the text box"), keystroke.subjectMs / 100, keystroke.baselineMs / 100,
               QStringLiteral("-"), "-");
    note(QStringLiteral("  (baseline on that line: the outline alone)"));
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QApplication app(argc, argv);
    BenchApp benchContext;
    const QStringList arguments = app.arguments();
    const QString only = arguments.value(1) == QStringLiteral("--only") ? arguments.value(2) : QStringLiteral("sdk");

    note(QStringLiteral("%1 cores; Qt %2").arg(QThread::idealThreadCount()).arg(QString::fromLatin1(qVersion())));
    note(QStringLiteral("outline: txtSelect's change signal (UpdateOutline and the list rebuild); baseline: the text lower-cased"));

    std::unique_ptr<frmMain> small = showWindow(statementOfSize(2 * 1024));
    if (only.contains(u's'))
        measureStatements(*small);
    if (only.contains(u'd'))
        measureDump();
    if (only.contains(u'k'))
        measureKeystroke(*small);
    return sink >= 0 ? 0 : 1;
}

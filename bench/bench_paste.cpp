// Pasting a long text into either statement box: the time until the window
// takes input again, the box laid out and painted, for 10 MB texts of the
// shapes that used to freeze it (one line without a break opportunity, a
// statement ending in a long comment) and of an ordinary statement. The
// budget is one second; the baseline is lower-casing the text, the least the
// outline of the select box must do with it.
#include "AppContext.h"
#include "BenchSupport.h"
#include "Database.h"
#include "DatabaseThread.h"
#include "SettingsStore.h"
#include "frmMain.h"

#include "StatementBox.h"

#include <QAccessible>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>

using namespace morvane;
using namespace morvane::bench;

namespace {

constexpr qsizetype tenMegabytes = 10 * 1000 * 1000;

QString ordinaryStatement(qsizetype size)
{
    QString text = QStringLiteral("select ");
    for (int i = 0; text.size() < size; ++i)
        text += QStringLiteral("t.column_%1, ").arg(i);
    return text + QStringLiteral("t.id from t");
}

// Where a paste spends its time: selecting what it replaces, replacing it,
// the events that follow (on a desktop, the accessibility bridge and the
// clipboard among them), and painting.
struct PasteTimes
{
    double selectMs;
    double insertMs;
    double eventsMs;
    double paintMs;
    [[nodiscard]] double totalMs() const { return selectMs + insertMs + eventsMs + paintMs; }
};

PasteTimes paste(StatementBox *box, const QString &text)
{
    box->clear();
    QApplication::processEvents();
    PasteTimes times{};
    double start = nowMs();
    const auto lap = [&start](double &into) {
        const double now = nowMs();
        into = now - start;
        start = now;
    };
    box->selectAll();
    lap(times.selectMs);
    box->insertPlainText(text);
    lap(times.insertMs);
    QApplication::processEvents();
    lap(times.eventsMs);
    (void)box->viewport()->grab();
    lap(times.paintMs);
    return times;
}

void reportPaste(const QString &name, const PasteTimes &times, double baselineMs)
{
    reportAbsolute(name, times.totalMs(), baselineMs, 1000);
    note(QStringLiteral("select %1 ms, insert %2 ms, events %3 ms, paint %4 ms")
             .arg(times.selectMs, 0, 'f', 1).arg(times.insertMs, 0, 'f', 1)
             .arg(times.eventsMs, 0, 'f', 1).arg(times.paintMs, 0, 'f', 1));
}

// Registers with the accessibility bus for the events a screen reader
// follows in a text box, as Orca does; the bridge then sends them. Nothing
// here receives them: what is measured is the program's side.
bool listenAsScreenReader()
{
    const QDBusReply<QString> address = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"), QStringLiteral("org.a11y.Bus"),
        QStringLiteral("GetAddress")));
    if (!address.isValid())
        return false;
    QDBusConnection bus = QDBusConnection::connectToBus(address.value(), QStringLiteral("screen reader"));
    for (const char *event : {"object:text-changed", "object:text-caret-moved", "object:text-selection-changed"}) {
        QDBusMessage registration = QDBusMessage::createMethodCall(
            QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/registry"),
            QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("RegisterEvent"));
        registration << QString::fromLatin1(event);
        if (bus.call(registration).type() == QDBusMessage::ErrorMessage)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchEnvironment environment;
    QApplication app(argc, argv);
    SettingsStore settings;
    DatabaseThread thread;
    std::unique_ptr<Database> database;
    AppContext context{settings, thread, database, {}, 1000};
    frmMain window(context);
    window.show();
    QApplication::processEvents();
    // The accessibility bridge connects to its bus in the background.
    if (qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON")) {
        const QDeadlineTimer deadline(5000);
        while (!QAccessible::isActive() && !deadline.hasExpired())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    const QList<std::pair<QString, QString>> texts = {
        {QStringLiteral("one word"), QString(tenMegabytes, u'y')},
        {QStringLiteral("long comment"), QStringLiteral("select a from t -- ") + QString(tenMegabytes, u'y')},
        {QStringLiteral("ordinary statement"), ordinaryStatement(tenMegabytes)},
        {QStringLiteral("line breaks only"), QString(tenMegabytes, u'\n')},
        {QStringLiteral("emoji"), QStringLiteral("\U0001F600").repeated(tenMegabytes / 2)},
        {QStringLiteral("Arabic and marks"), QStringLiteral("\u0628\u064E\u0020\u0627\u0301").repeated(tenMegabytes / 5)},
        {QStringLiteral("tabs"), QString(tenMegabytes, u'\t')},
    };
    // On a desktop (run under Xvfb by run_bench_paste_xvfb) the lines say
    // so, and whether the accessibility bridge was on.
    QString where;
    if (QGuiApplication::platformName() != u"offscreen")
        where = QStringLiteral(", %1, accessibility %2").arg(QGuiApplication::platformName(),
                                                             QAccessible::isActive() ? u"on" : u"off");
    // --screen-reader listens as one does; another argument picks the
    // shapes whose names hold it.
    QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.removeAll(QStringLiteral("--screen-reader")) > 0) {
        if (!listenAsScreenReader())
            qFatal("No accessibility bus to listen on");
        where += QStringLiteral(", a screen reader listening");
    }
    const QString only = arguments.value(0);
    for (const auto &[shape, text] : texts) {
        if (!shape.contains(only))
            continue;
        const double start = nowMs();
        (void)text.toLower();
        const double baseline = nowMs() - start;
        reportPaste(QStringLiteral("paste 10 MB, %1, select box%2").arg(shape, where), paste(window.txtSelect, text), baseline);
        reportPaste(QStringLiteral("paste 10 MB, %1, action box%2").arg(shape, where), paste(window.txtExecute, text), baseline);
    }
    return 0;
}

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

#include <QApplication>
#include "StatementBox.h"

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

double pasteMs(StatementBox *box, const QString &text)
{
    box->clear();
    QApplication::processEvents();
    const double start = nowMs();
    box->selectAll();
    box->insertPlainText(text);
    QApplication::processEvents();
    (void)box->viewport()->grab();
    return nowMs() - start;
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

    const QList<std::pair<QString, QString>> texts = {
        {QStringLiteral("one word"), QString(tenMegabytes, u'y')},
        {QStringLiteral("long comment"), QStringLiteral("select a from t -- ") + QString(tenMegabytes, u'y')},
        {QStringLiteral("ordinary statement"), ordinaryStatement(tenMegabytes)},
        {QStringLiteral("line breaks only"), QString(tenMegabytes, u'\n')},
        {QStringLiteral("emoji"), QStringLiteral("\U0001F600").repeated(tenMegabytes / 2)},
        {QStringLiteral("Arabic and marks"), QStringLiteral("\u0628\u064E\u0020\u0627\u0301").repeated(tenMegabytes / 5)},
        {QStringLiteral("tabs"), QString(tenMegabytes, u'\t')},
    };
    for (const auto &[shape, text] : texts) {
        const double start = nowMs();
        (void)text.toLower();
        const double baseline = nowMs() - start;
        reportAbsolute(QStringLiteral("paste 10 MB, %1, select box").arg(shape), pasteMs(window.txtSelect, text),
                       baseline, 1000);
        reportAbsolute(QStringLiteral("paste 10 MB, %1, action box").arg(shape), pasteMs(window.txtExecute, text),
                       baseline, 1000);
    }
    return 0;
}

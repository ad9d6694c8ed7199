// The start-up benchmark's baseline: the least a Qt Widgets program does to
// show one dialog with a line of text, with the same "shown" report as the
// program. With --empty the dialog holds no text, so no font is ever loaded.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTimer>

#include <cstdio>

namespace {

class ExitWhenShown final : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && watched->isWindowType() && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, qApp, [] {
                std::fputs("shown\n", stdout);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return false;
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ExitWhenShown exitWhenShown;
    if (qEnvironmentVariableIsSet("MORVANE_EXIT_WHEN_SHOWN"))
        app.installEventFilter(&exitWhenShown);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Dialog"));
    if (!QApplication::arguments().contains(QStringLiteral("--empty")))
        (new QLabel(QStringLiteral("Path:"), &dialog))->move(12, 12);
    dialog.show();
    return QApplication::exec();
}

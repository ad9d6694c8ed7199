#include "frmDB.h"

#include "AppContext.h"
#include "DatabaseEngine.h"
#include "Design.h"
#include "Failure.h"
#include "PathCompleter.h"
#include "PathDrop.h"
#include "RunWait.h"
#include "SettingsStore.h"
#include "frmMain.h"
#include "frmPassword.h"
#include "frmVidvorun.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QThread>

namespace morvane {

frmDB::frmDB(AppContext &context)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , Label1(new QLabel(QStringLiteral("Path:"), this))
    , Text1(new QLineEdit(this))
    , Command1(new QPushButton(QStringLiteral("Open"), this))
    , Command2(new QPushButton(QStringLiteral("Cancel"), this))
    , m_context(context)
{
    setObjectName(QStringLiteral("frmDB"));
    setWindowTitle(QStringLiteral("Select Database"));
    setFont(designFont());
    const Twips twips(this);
    setFixedSize(twips.rect(0, 0, 4440, 1215).size());

    Label1->setObjectName(QStringLiteral("Label1"));
    twips.place(Label1, 180, 285, 570, 240);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setAccessibleName(QStringLiteral("Path"));
    Label1->setBuddy(Text1);
    twips.place(Text1, 615, 240, 3765, 330);
    // Comforts of a file path box: completion from the file system, and a
    // file dropped on the dialog fills it.
    new PathCompleter(Text1);
    new PathDrop(this, Text1);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setAccessibleName(QStringLiteral("Open"));
    Command1->setDefault(true);
    twips.place(Command1, 2370, 780, 960, 345);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setAccessibleName(QStringLiteral("Cancel"));
    // Enter presses the button that has the focus: Cancel when it is focused,
    // Open everywhere else.
    Command2->setAutoDefault(true);
    twips.place(Command2, 3405, 780, 960, 345);
    setTabOrder(Text1, Command1);
    setTabOrder(Command1, Command2);
    Text1->setFocus();

    connect(Command1, &QPushButton::clicked, this, &frmDB::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmDB::Command2_Click);
    Form_Load();
}

frmDB::~frmDB() = default;

void frmDB::Form_Load()
{
    Text1->setText(m_context.settings.databasePath());
}

void frmDB::Command1_Click()
{
    if (m_opening)
        return;
    // The path goes to the engine exactly as typed: no trimming, no default
    // extension, and it is remembered in the same form, less any password.
    const QString path = Text1->text();
    try {
        std::unique_ptr<Database> opened;
        m_opening = true;
        RunWait::run(this, m_context.databaseThread, nullptr,
                     [&opened, path, timeouts = m_context.timeouts,
                      askPassword = passwordPrompt()](const std::atomic_bool &cancelled) {
                         opened = DatabaseEngine::openDatabase(path, timeouts, askPassword, &cancelled);
                         if (cancelled)
                             throw Failure(QStringLiteral("The open was cancelled."));
                     },
                     m_context.progressDelayMs);
        m_opening = false;
        m_context.database = std::move(opened);
    } catch (const std::exception &error) {
        m_opening = false;
        if (m_closeAfterOpen)
            close();
        else
            frmVidvorun::showWarning(frmVidvorun::initialMessage, QString::fromUtf8(error.what()));
        return;
    }
    rememberPath(DatabaseEngine::pathToRemember(path));
    // The query window is shown before this dialog closes, so the program
    // never has zero windows and does not end in between.
    createForm<frmMain>(m_context)->show();
    close();
}

// The engine asks on the database thread; the dialog is shown on this one,
// while that thread waits for the answer. The open's wait cursor gives way
// to the ordinary one while the user types.
PasswordPrompt frmDB::passwordPrompt()
{
    return [this](const QString &fileName) {
        std::optional<QString> password;
        const auto ask = [&password, &fileName] {
            QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
            const auto restoreCursor = qScopeGuard([] { QGuiApplication::restoreOverrideCursor(); });
            password = frmPassword::ask(fileName);
        };
        QMetaObject::invokeMethod(this, ask,
                                  thread() == QThread::currentThread() ? Qt::DirectConnection
                                                                       : Qt::BlockingQueuedConnection);
        return password;
    };
}

// The database is open whatever becomes of the settings: a settings file
// that cannot be written costs the remembered path, not the database.
void frmDB::rememberPath(const QString &path)
{
    try {
        m_context.settings.setDatabasePath(path);
    } catch (const Failure &error) {
        const QString file = QFileInfo(m_context.settings.fileName()).fileName();
        frmVidvorun::showWarning(QStringLiteral("Could not save %1.").arg(file), error.description());
    }
}

void frmDB::Command2_Click()
{
    close();
}

void frmDB::reject()
{
    QDialog::reject();
    close();
}

void frmDB::closeEvent(QCloseEvent *event)
{
    // An open still under way is cancelled first; the dialog closes when the
    // database thread has let go of it.
    if (m_opening) {
        m_closeAfterOpen = true;
        m_context.databaseThread.cancel();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmDB::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOnScreen(this);
    activateWindow();
}

} // namespace morvane

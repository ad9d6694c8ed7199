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

namespace morvane {

frmDB::frmDB(AppContext &context)
    : QDialog(nullptr, fixedDialogFlags)
    , pathLabel(new QLabel(QStringLiteral("Path:"), this))
    , pathBox(new QLineEdit(this))
    , openButton(new QPushButton(QStringLiteral("Open"), this))
    , cancelButton(new QPushButton(QStringLiteral("Cancel"), this))
    , m_context(context)
{
    setUpFixedDialog(this, QStringLiteral("frmDB"), QStringLiteral("Select Database"), 4440, 1215);
    const Twips twips(this);

    pathLabel->setObjectName(QStringLiteral("Label1"));
    twips.place(pathLabel, 180, 285, 570, 240);
    pathBox->setObjectName(QStringLiteral("Text1"));
    pathBox->setAccessibleName(QStringLiteral("Path"));
    pathLabel->setBuddy(pathBox);
    twips.place(pathBox, 615, 240, 3765, 330);
    // Comforts of a file path box: completion from the file system, and a
    // file dropped on the dialog fills it.
    new PathCompleter(pathBox);
    new PathDrop(this, pathBox);
    openButton->setObjectName(QStringLiteral("Command1"));
    openButton->setAccessibleName(QStringLiteral("Open"));
    openButton->setDefault(true);
    twips.place(openButton, 2370, 780, 960, 345);
    cancelButton->setObjectName(QStringLiteral("Command2"));
    cancelButton->setAccessibleName(QStringLiteral("Cancel"));
    // Enter presses the button that has the focus: Cancel when it is focused,
    // Open everywhere else.
    cancelButton->setAutoDefault(true);
    twips.place(cancelButton, 3405, 780, 960, 345);
    setTabOrder(pathBox, openButton);
    setTabOrder(openButton, cancelButton);
    pathBox->setFocus();

    connect(openButton, &QPushButton::clicked, this, &frmDB::openButton_Click);
    connect(cancelButton, &QPushButton::clicked, this, &frmDB::cancelButton_Click);
    Form_Load();
}

frmDB::~frmDB() = default;

void frmDB::Form_Load()
{
    pathBox->setText(m_context.settings.databasePath());
}

void frmDB::openButton_Click()
{
    if (m_opening)
        return;
    // The path goes to the engine exactly as typed: no trimming, no default
    // extension, and it is remembered in the same form, less any password.
    const QString path = pathBox->text();
    try {
        m_opening = true;
        m_context.database = RunWait::run(
            this, m_context.databaseThread, nullptr,
            [path, timeouts = m_context.timeouts, askPassword = passwordPrompt()](const std::atomic_bool &cancelled) {
                std::unique_ptr<Database> opened;
                try {
                    opened = DatabaseEngine::openDatabase(path, timeouts, askPassword, &cancelled);
                } catch (const Failure &) {
                    if (!cancelled)
                        throw;
                }
                if (cancelled)
                    throw Failure(QStringLiteral("The open was cancelled."));
                return opened;
            },
            m_context.progressDelayMs);
        m_opening = false;
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
        RunWait::onWindowThread(this, ask);
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

void frmDB::cancelButton_Click()
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

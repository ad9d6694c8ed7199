#include "frmMain.h"

#include "AppContext.h"
#include "Database.h"
#include "Design.h"
#include "Failure.h"
#include "OutlineList.h"
#include "MainLayout.h"
#include "Outline.h"
#include "QueryRun.h"
#include "ResultGrid.h"
#include "RunWait.h"
#include "SettingsStore.h"
#include "StatementBox.h"
#include "frmParameter.h"
#include "frmVidvorun.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>

namespace morvane {

namespace {

bool movedWithinWindow(const QFocusEvent *event)
{
    return event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason;
}

QString captionWithVersion()
{
    return QStringLiteral("%1 %2.%3.%4")
        .arg(SettingsStore::applicationTitle)
        .arg(MORVANE_VERSION_MAJOR)
        .arg(MORVANE_VERSION_MINOR)
        .arg(MORVANE_VERSION_REVISION);
}

QIcon drawIcon()
{
    QIcon icon;
    for (const int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal s = size;
        // A database drum with a magnifier: a tool that looks into tables.
        painter.setPen(QPen(QColor(0, 0, 128), s / 16));
        painter.setBrush(QColor(0, 128, 128));
        const QRectF body(s * 0.08, s * 0.18, s * 0.6, s * 0.62);
        painter.drawRect(body);
        painter.drawEllipse(QRectF(body.left(), body.bottom() - s * 0.1, body.width(), s * 0.2));
        painter.setBrush(QColor(0, 255, 255));
        painter.drawEllipse(QRectF(body.left(), body.top() - s * 0.1, body.width(), s * 0.2));
        painter.setPen(QPen(QColor(128, 0, 0), s / 8));
        painter.setBrush(QColor(255, 255, 255, 200));
        painter.drawEllipse(QRectF(s * 0.5, s * 0.5, s * 0.3, s * 0.3));
        painter.drawLine(QPointF(s * 0.78, s * 0.78), QPointF(s * 0.95, s * 0.95));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

frmMain::frmMain(AppContext &context) : m_context(context)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(SettingsStore::applicationTitle);
    setWindowIcon(drawIcon());
    setFont(designFont());
    createControls();
    placeControls();
    Twips(this).setClientSize(this, 6630, 6960);
    // Narrower than this, the select box and the buttons would run out of room.
    setMinimumWidth(int(std::ceil(design::minimumOuterWidth / Twips(this).perPixel())));
    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::createControls()
{
    selectFrame = new QGroupBox(QStringLiteral("SQL select"), this);
    selectFrame->setObjectName(QStringLiteral("Frame2"));
    countLabel = new QLabel(selectFrame);
    countLabel->setObjectName(QStringLiteral("countLabel"));
    countLabel->setTextFormat(Qt::PlainText);
    selectLabel = new QLabel(QStringLiteral("Select:"), selectFrame);
    selectLabel->setObjectName(QStringLiteral("Label1"));
    txtSelect = new StatementBox(selectFrame);
    txtSelect->setObjectName(QStringLiteral("txtSelect"));
    txtSelect->setAccessibleName(QStringLiteral("Select statement"));
    selectLabel->setBuddy(txtSelect);
    getButton = new QPushButton(QStringLiteral("Get"), selectFrame);
    getButton->setObjectName(QStringLiteral("getButton"));
    getButton->setAccessibleName(QStringLiteral("Get"));
    outlineList = new OutlineList(selectFrame);
    outlineList->setObjectName(QStringLiteral("outlineList"));
    outlineList->setAccessibleName(QStringLiteral("Fields and tables"));
    resultGrid = new ResultGrid(selectFrame);
    resultGrid->setObjectName(QStringLiteral("resultGrid"));
    resultGrid->setAccessibleName(QStringLiteral("Results"));

    executeFrame = new QGroupBox(QStringLiteral("Execute"), this);
    executeFrame->setObjectName(QStringLiteral("Frame1"));
    txtExecute = new StatementBox(executeFrame);
    txtExecute->setObjectName(QStringLiteral("txtExecute"));
    txtExecute->setAccessibleName(QStringLiteral("Action statement"));
    cmdExecute = new QPushButton(QStringLiteral("Execute"), executeFrame);
    cmdExecute->setObjectName(QStringLiteral("cmdExecute"));
    cmdExecute->setAccessibleName(QStringLiteral("Execute"));

    // The count label lies under the Get button and the top of the grid.
    countLabel->lower();
    for (QPushButton *button : {getButton, cmdExecute})
        button->setAutoDefault(false);
    setTabOrder(txtSelect, getButton);
    setTabOrder(getButton, txtExecute);
    setTabOrder(txtExecute, cmdExecute);
    setTabOrder(cmdExecute, outlineList);
    setTabOrder(outlineList, resultGrid);

    for (QWidget *watched : std::initializer_list<QWidget *>{txtSelect, txtExecute, outlineList, resultGrid, getButton, cmdExecute})
        watched->installEventFilter(this);
    connect(txtSelect, &StatementBox::textChanged, this, &frmMain::UpdateOutline);
    connect(getButton, &QPushButton::clicked, this, &frmMain::getButton_Click);
    connect(cmdExecute, &QPushButton::clicked, this, &frmMain::cmdExecute_Click);
}

void frmMain::placeControls()
{
    const Twips twips(this);
    twips.place(selectFrame, 30, 45, 6570, 4695);
    twips.place(selectLabel, 120, 270, 705, 270);
    twips.place(txtSelect, 645, 225, 3915, 2040);
    twips.place(getButton, 3315, 2310, 1215, 345);
    twips.place(executeFrame, 30, 4770, 6570, 2145);
    twips.place(txtExecute, 60, 225, 6420, 1380);
    twips.place(cmdExecute, 5325, 1695, 1125, 330);
    twips.place(outlineList, 4590, 210, 1890, 2475);
    twips.place(resultGrid, 45, 2715, 6435, 1890);
    twips.place(countLabel, 135, 2520, 5700, 270);
    outlineList->setColumnWidth(1440);
}

void frmMain::Form_Load()
{
    setWindowTitle(captionWithVersion());
    colFields = QStringList();
    // Setting the text runs the outline on the restored statement.
    txtSelect->setPlainText(m_context.settings.selectStatement());
    txtExecute->setPlainText(m_context.settings.executeStatement());
}

void frmMain::Form_Resize()
{
    const Twips twips(this);
    const QRect outer = frameGeometry();
    const MainLayout layout = computeMainLayout(twips.fromPixels(outer.height()), twips.fromPixels(outer.width()), twips.perPixel());
    const auto px = [&twips](float value) { return twips.toPixels(value); };

    selectFrame->resize(px(layout.selectFrameWidth), px(layout.selectFrameHeight));
    executeFrame->setGeometry(executeFrame->x(), px(layout.executeFrameTop), px(layout.executeFrameWidth), executeFrame->height());
    resultGrid->resize(px(layout.resultsWidth), px(layout.resultsHeight));
    txtExecute->resize(px(layout.executeBoxWidth), txtExecute->height());
    cmdExecute->move(px(layout.executeButtonLeft), cmdExecute->y());
    txtSelect->resize(px(layout.selectBoxWidth), txtSelect->height());
    outlineList->move(px(layout.outlineLeft), outlineList->y());
    getButton->move(px(layout.getButtonLeft), getButton->y());
}

void frmMain::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void frmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    centreOnScreen(this);
    // The query window takes the selection dialog's place, keyboard included.
    activateWindow();
    txtSelect->setFocus(Qt::OtherFocusReason);
    makeDefault(getButton);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // The database thread is still working for this window: stop it, and
    // close once it has let go.
    if (m_running) {
        m_closeAfterRun = true;
        m_context.databaseThread.cancel();
        event->ignore();
        return;
    }
    // A statement typed and then closed with the window would otherwise be
    // lost: it is stored only when the focus leaves its box or a button runs.
    storeBoth();
    QWidget::closeEvent(event);
}

void frmMain::storeBoth()
{
    try {
        m_context.settings.setSelectStatement(txtSelect->toPlainText());
        m_context.settings.setExecuteStatement(txtExecute->toPlainText());
    } catch (const Failure &error) {
        frmVidvorun::showWarning(error.description());
    }
}

void frmMain::UpdateOutline()
{
    Outline outline = ParseOutline(txtSelect->toPlainText());
    outlineList->setItems(std::move(outline.items));
    colFields = std::move(outline.fields);
}

void frmMain::makeDefault(QPushButton *button)
{
    QPushButton *other = button == getButton ? cmdExecute : getButton;
    other->setDefault(false);
    button->setDefault(true);
}

void frmMain::txtSelect_LostFocus()
{
    m_context.settings.setSelectStatement(txtSelect->toPlainText());
}

void frmMain::txtExecute_LostFocus()
{
    m_context.settings.setExecuteStatement(txtExecute->toPlainText());
}

// Enter presses the default button, or the button that has the focus; in the
// statement boxes Ctrl+Enter types a line break instead.
bool frmMain::pressDefaultButton(QObject *watched, const QKeyEvent *keyEvent)
{
    if (keyEvent->key() != Qt::Key_Return && keyEvent->key() != Qt::Key_Enter)
        return false;
    auto *box = qobject_cast<StatementBox *>(watched);
    if (box && keyEvent->modifiers().testFlag(Qt::ControlModifier)) {
        box->insertPlainText(QStringLiteral("\n"));
        return true;
    }
    if (auto *button = qobject_cast<QPushButton *>(watched)) {
        button->click();
        return true;
    }
    QPushButton *target = getButton->isDefault() ? getButton : cmdExecute->isDefault() ? cmdExecute : nullptr;
    if (!target)
        return false;
    target->click();
    return true;
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::FocusIn:
        if (watched == txtExecute)
            makeDefault(cmdExecute);
        else if (watched == txtSelect || watched == outlineList || watched == resultGrid)
            makeDefault(getButton);
        break;
    case QEvent::FocusOut:
        // Only a move to another control stores the box, not the window
        // losing the keyboard to a warning or another program.
        if ((watched == txtSelect || watched == txtExecute) && movedWithinWindow(static_cast<QFocusEvent *>(event))) {
            try {
                watched == txtSelect ? txtSelect_LostFocus() : txtExecute_LostFocus();
            } catch (const Failure &error) {
                // Not shown from inside the focus change itself.
                QTimer::singleShot(0, this, [text = error.description()] { frmVidvorun::showWarning(text); });
            }
        }
        break;
    case QEvent::KeyPress:
        if (pressDefaultButton(watched, static_cast<QKeyEvent *>(event)))
            return true;
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

template<typename Job>
auto frmMain::runOnDatabase(Job job)
{
    // Input waits while a run is on, but a click already queued can arrive
    // between its end and the next run; one run at a time.
    if (m_running)
        throw Failure(QStringLiteral("A statement is still running."));
    m_running = true;
    const auto finished = qScopeGuard([this] {
        m_running = false;
        if (m_closeAfterRun)
            QTimer::singleShot(0, this, &QWidget::close);
    });
    return RunWait::run(this, m_context.databaseThread, m_context.database.get(), std::move(job), m_context.progressDelayMs);
}

void frmMain::warn(const QString &message, const QString &description)
{
    if (!m_closeAfterRun)
        frmVidvorun::showWarning(message, description);
}

// The run asks on the database's thread; the dialog is shown on this one,
// which the run waits for.
ParameterPrompt frmMain::parameterPrompt()
{
    return [window = QPointer<frmMain>(this)](const QString &name) -> std::optional<QString> {
        std::optional<QString> answer;
        if (window) {
            RunWait::onWindowThread(window, [&] {
                if (window)
                    answer = frmParameter::ask(name, window);
            });
        }
        return answer;
    };
}

void frmMain::getButton_Click()
{
    QueryResult result;
    try {
        txtSelect_LostFocus();
        // The grid and its count belong to the statement that runs now: a
        // run that fails leaves neither the rows nor the count of the last.
        resultGrid->clear();
        countLabel->clear();
        // The database belongs to the program, which stops this thread
        // before it lets the database go.
        Database &database = *m_context.database;
        result = runOnDatabase([&database, prompt = parameterPrompt(), select = txtSelect->toPlainText(),
                                fields = colFields](const std::atomic_bool &cancelled) {
            return QueryRun(database, cancelled, prompt).run(select, fields);
        });
    } catch (const Failure &error) {
        warn(QStringLiteral("Error in database. ") + error.description());
        return;
    }
    countLabel->setText(result.countMessage.value_or(QString()));
    const std::optional<QString> failure = result.failure;
    resultGrid->setResult(std::move(result));
    if (failure)
        warn(QStringLiteral("Error in database. ") + *failure);
}

void frmMain::cmdExecute_Click()
{
    try {
        txtExecute_LostFocus();
        Database &database = *m_context.database;
        runOnDatabase([&database, sql = txtExecute->toPlainText()](const std::atomic_bool &cancelled) {
            if (cancelled)
                throw Failure(QStringLiteral("The statement was cancelled."));
            database.execute(sql);
        });
    } catch (const std::exception &error) {
        // The warning's words stay short; why it failed is its description.
        warn(QStringLiteral("Error in database"), QString::fromUtf8(error.what()));
    }
}

} // namespace morvane

#pragma once

#include "Database.h"
#include "DatabaseThread.h"

#include <QStringList>
#include <QWidget>

class QGroupBox;
class QLabel;
class QPushButton;

namespace morvane {

class OutlineList;
class ResultGrid;
class StatementBox;
struct AppContext;

// The query window. The upper frame runs a select statement into the result
// grid, with a live outline of its columns and tables; the lower frame runs
// an action statement. Both statements are remembered between runs. The
// statements run on the database thread; the window renders what they hand
// back and routes the user's input.
class frmMain : public QWidget
{
    Q_OBJECT

public:
    explicit frmMain(AppContext &context);
    ~frmMain() override;

    // The output column names of the statement in txtSelect, kept current by
    // UpdateOutline on every change of the text.
    [[nodiscard]] const QStringList &fields() const { return colFields; }

    QGroupBox *selectFrame;
    QLabel *selectLabel;
    StatementBox *txtSelect;
    QPushButton *getButton;
    QGroupBox *executeFrame;
    StatementBox *txtExecute;
    QPushButton *cmdExecute;
    OutlineList *outlineList;
    ResultGrid *resultGrid;
    QLabel *countLabel;

    void getButton_Click();
    void cmdExecute_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void placeControls();
    void Form_Load();
    void Form_Resize();
    void UpdateOutline();

    void txtSelect_LostFocus();
    void txtExecute_LostFocus();
    void makeDefault(QPushButton *button);
    bool pressDefaultButton(QObject *watched, const QKeyEvent *keyEvent);
    void storeBoth();
    // Runs `job` on the database thread and waits for it; returns what it
    // returned, or rethrows its failure.
    template<typename Job>
    auto runOnDatabase(Job job);
    // Asks for a statement's parameters in a dialog of their own.
    ParameterPrompt parameterPrompt();
    // A warning, unless the window is on its way to close.
    void warn(const QString &message, const QString &description = {});

    QStringList colFields;
    AppContext &m_context;
    bool m_shownOnce = false;
    bool m_running = false;
    bool m_closeAfterRun = false;
};

} // namespace morvane

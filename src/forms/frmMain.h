#pragma once

#include <QStringList>
#include <QWidget>

#include <memory>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace morvane {

class ListView;
class Recordset;
class SettingsStore;
class TextWidthBound;

// The query window. The upper frame runs a select statement into the result
// grid, with a live outline of its columns and tables; the lower frame runs
// an action statement. Both statements are remembered between runs.
class frmMain : public QWidget
{
    Q_OBJECT

public:
    frmMain();
    ~frmMain() override;

    // The output column names of the statement in txtSelect, kept current by
    // UpdateOutline on every change of the text.
    [[nodiscard]] const QStringList &fields() const { return colFields; }

    QGroupBox *Frame2;
    QLabel *Label1;
    QPlainTextEdit *txtSelect;
    QPushButton *cmdSækja;
    QGroupBox *Frame1;
    QPlainTextEdit *txtExecute;
    QPushButton *cmdExecute;
    ListView *lvwSviðTöflur;
    ListView *lvwNiðurstöður;
    QLabel *lblFjöldi;

    void cmdSækja_Click();
    void cmdExecute_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    struct GridColumn;
    struct GridFill;

    void createControls();
    void placeControls();
    void Form_Load();
    void Form_Resize();
    void UpdateOutline();
    void ShowRowCount();

    void txtSelect_LostFocus();
    void txtExecute_LostFocus();
    void makeDefault(QPushButton *button);
    bool pressDefaultButton(QObject *watched, const QKeyEvent *keyEvent);
    void storeBoth();

    [[nodiscard]] std::vector<GridColumn> gridColumns(const Recordset &result) const;
    void addGridColumns(const std::vector<GridColumn> &columns);
    void fillRow(const Recordset &result, const std::vector<GridColumn> &columns, GridFill &fill);
    void widenColumn(int column, const QString &cellText, GridFill &fill);
    void showRows(GridFill &fill);
    [[nodiscard]] float TextWidth(const QString &text) const;
    void setCountMessage(qint64 count);

    QStringList colFields;
    std::unique_ptr<SettingsStore> m_settings;
    std::unique_ptr<TextWidthBound> m_widthBound;
    bool m_shownOnce = false;
};

} // namespace morvane

#include "frmMain.h"

#include "Database.h"
#include "DatabaseError.h"
#include "Design.h"
#include "ListView.h"
#include "MainLayout.h"
#include "Outline.h"
#include "TextWidthBound.h"
#include "SettingsStore.h"
#include "frmVidvorun.h"
#include "mdlMain.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <limits>

namespace morvane {

namespace {

constexpr int rowLimit = 1000;
constexpr float widthMargin = 300;
constexpr float maxCellWidth = 4800;
// Colour word 255 (0x00BBGGRR): pure red marks Null values.
const QColor nullColour(255, 0, 0);

QString description(const std::exception &error)
{
    if (const auto *database = dynamic_cast<const DatabaseError *>(&error))
        return database->description();
    return QString::fromUtf8(error.what());
}

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

// Counting over the whole statement as a derived table gives the right count
// for grouped, distinct and limited statements, sub-selects and unions alike,
// where cutting the text at " from " and " order " counts something else. The
// line breaks end a trailing line comment before the closing parenthesis.
QString countStatement(QStringView select)
{
    while (!select.isEmpty() && (select.back().isSpace() || select.back() == u';'))
        select.chop(1);
    QString statement = QStringLiteral("select count(*) as fjoldi from (\n");
    statement += select;
    statement += QStringLiteral("\n) as q");
    return statement;
}

qint64 countOf(const FieldValue &value)
{
    switch (value.type()) {
    case FieldValue::Type::Integer:
        return value.integer();
    case FieldValue::Type::Real:
        return qint64(value.real());
    case FieldValue::Type::Text:
        return value.text().toLongLong();
    default:
        throw DatabaseError(QStringLiteral("The count is not a number."));
    }
}

// Most cells have nothing to trim; handing the text on keeps it shared
// instead of copying it.
QString withoutOuterSpaces(const QString &text)
{
    const QStringView trimmed = TrimSpaces(text);
    return trimmed.size() == text.size() ? text : trimmed.toString();
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

struct frmMain::GridColumn
{
    int field;
    QString header;
};

// What one run of Get keeps while it fills the grid. Rows are built apart
// from the grid and handed to it together, once per run or at a failure.
struct frmMain::GridFill
{
    explicit GridFill(const QWidget *window) : metrics(window->font()), twips(window) {}
    ~GridFill() { qDeleteAll(rows); }
    GridFill(const GridFill &) = delete;
    GridFill &operator=(const GridFill &) = delete;

    QFontMetrics metrics;
    Twips twips;
    // Each column's width as the grid reports it, read again after each change.
    std::vector<float> widths;
    QList<QTreeWidgetItem *> rows;
};

frmMain::frmMain() : m_settings(std::make_unique<SettingsStore>())
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
    Frame2 = new QGroupBox(QStringLiteral("SQL select"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    lblFjöldi = new QLabel(Frame2);
    lblFjöldi->setObjectName(QStringLiteral("lblFjöldi"));
    lblFjöldi->setTextFormat(Qt::PlainText);
    Label1 = new QLabel(QStringLiteral("Select:"), Frame2);
    Label1->setObjectName(QStringLiteral("Label1"));
    txtSelect = new QPlainTextEdit(Frame2);
    txtSelect->setObjectName(QStringLiteral("txtSelect"));
    txtSelect->setAccessibleName(QStringLiteral("Select statement"));
    Label1->setBuddy(txtSelect);
    cmdSækja = new QPushButton(QStringLiteral("Get"), Frame2);
    cmdSækja->setObjectName(QStringLiteral("cmdSækja"));
    cmdSækja->setAccessibleName(QStringLiteral("Get"));
    lvwSviðTöflur = new ListView(Frame2);
    lvwSviðTöflur->setObjectName(QStringLiteral("lvwSviðTöflur"));
    lvwSviðTöflur->setAccessibleName(QStringLiteral("Fields and tables"));
    lvwSviðTöflur->addColumns({QString()});
    lvwSviðTöflur->setHeaderHidden(true);
    lvwNiðurstöður = new ListView(Frame2);
    lvwNiðurstöður->setObjectName(QStringLiteral("lvwNiðurstöður"));
    lvwNiðurstöður->setAccessibleName(QStringLiteral("Results"));
    lvwNiðurstöður->clearColumns();

    Frame1 = new QGroupBox(QStringLiteral("Execute"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    txtExecute = new QPlainTextEdit(Frame1);
    txtExecute->setObjectName(QStringLiteral("txtExecute"));
    txtExecute->setAccessibleName(QStringLiteral("Action statement"));
    cmdExecute = new QPushButton(QStringLiteral("Execute"), Frame1);
    cmdExecute->setObjectName(QStringLiteral("cmdExecute"));
    cmdExecute->setAccessibleName(QStringLiteral("Execute"));

    // The count label lies under the Get button and the top of the grid.
    lblFjöldi->lower();
    // Tab moves between controls, as in every other box of the window.
    for (QPlainTextEdit *box : {txtSelect, txtExecute})
        box->setTabChangesFocus(true);
    for (QPushButton *button : {cmdSækja, cmdExecute})
        button->setAutoDefault(false);
    setTabOrder(txtSelect, cmdSækja);
    setTabOrder(cmdSækja, txtExecute);
    setTabOrder(txtExecute, cmdExecute);
    setTabOrder(cmdExecute, lvwSviðTöflur);
    setTabOrder(lvwSviðTöflur, lvwNiðurstöður);

    for (QWidget *watched : std::initializer_list<QWidget *>{txtSelect, txtExecute, lvwSviðTöflur, lvwNiðurstöður, cmdSækja, cmdExecute})
        watched->installEventFilter(this);
    connect(txtSelect, &QPlainTextEdit::textChanged, this, &frmMain::UpdateOutline);
    connect(cmdSækja, &QPushButton::clicked, this, &frmMain::cmdSækja_Click);
    connect(cmdExecute, &QPushButton::clicked, this, &frmMain::cmdExecute_Click);
}

void frmMain::placeControls()
{
    const Twips twips(this);
    twips.place(Frame2, 30, 45, 6570, 4695);
    twips.place(Label1, 120, 270, 705, 270);
    twips.place(txtSelect, 645, 225, 3915, 2040);
    twips.place(cmdSækja, 3315, 2310, 1215, 345);
    twips.place(Frame1, 30, 4770, 6570, 2145);
    twips.place(txtExecute, 60, 225, 6420, 1380);
    twips.place(cmdExecute, 5325, 1695, 1125, 330);
    twips.place(lvwSviðTöflur, 4590, 210, 1890, 2475);
    twips.place(lvwNiðurstöður, 45, 2715, 6435, 1890);
    twips.place(lblFjöldi, 135, 2520, 5700, 270);
    lvwSviðTöflur->setColumnWidth(0, 1440);
}

void frmMain::Form_Load()
{
    setWindowTitle(captionWithVersion());
    colFields = QStringList();
    // Setting the text runs the outline on the restored statement.
    txtSelect->setPlainText(m_settings->selectStatement());
    txtExecute->setPlainText(m_settings->executeStatement());
}

void frmMain::Form_Resize()
{
    const Twips twips(this);
    const QRect outer = frameGeometry();
    const MainLayout layout = computeMainLayout(twips.fromPixels(outer.height()), twips.fromPixels(outer.width()), twips.perPixel());
    const auto px = [&twips](float value) { return twips.toPixels(value); };

    Frame2->resize(px(layout.selectFrameWidth), px(layout.selectFrameHeight));
    Frame1->setGeometry(Frame1->x(), px(layout.executeFrameTop), px(layout.executeFrameWidth), Frame1->height());
    lvwNiðurstöður->resize(px(layout.resultsWidth), px(layout.resultsHeight));
    txtExecute->resize(px(layout.executeBoxWidth), txtExecute->height());
    cmdExecute->move(px(layout.executeButtonLeft), cmdExecute->y());
    txtSelect->resize(px(layout.selectBoxWidth), txtSelect->height());
    lvwSviðTöflur->move(px(layout.outlineLeft), lvwSviðTöflur->y());
    cmdSækja->move(px(layout.getButtonLeft), cmdSækja->y());
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
    makeDefault(cmdSækja);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // A statement typed and then closed with the window would otherwise be
    // lost: it is stored only when the focus leaves its box or a button runs.
    storeBoth();
    QWidget::closeEvent(event);
}

void frmMain::storeBoth()
{
    try {
        m_settings->setSelectStatement(txtSelect->toPlainText());
        m_settings->setExecuteStatement(txtExecute->toPlainText());
    } catch (const std::exception &error) {
        frmVidvorun::showWarning(description(error));
    }
}

void frmMain::UpdateOutline()
{
    Outline outline = ParseOutline(txtSelect->toPlainText());
    lvwSviðTöflur->clearItems();
    QList<QTreeWidgetItem *> items;
    items.reserve(outline.items.size());
    QFont bold = lvwSviðTöflur->font();
    bold.setBold(true);
    for (const OutlineItem &entry : std::as_const(outline.items)) {
        auto *item = new QTreeWidgetItem;
        item->setText(0, entry.text);
        if (entry.bold)
            item->setFont(0, bold);
        items.append(item);
    }
    lvwSviðTöflur->addTopLevelItems(items);
    colFields = std::move(outline.fields);
}

void frmMain::makeDefault(QPushButton *button)
{
    QPushButton *other = button == cmdSækja ? cmdExecute : cmdSækja;
    other->setDefault(false);
    button->setDefault(true);
}

void frmMain::txtSelect_LostFocus()
{
    m_settings->setSelectStatement(txtSelect->toPlainText());
}

void frmMain::txtExecute_LostFocus()
{
    m_settings->setExecuteStatement(txtExecute->toPlainText());
}

// Enter presses the default button, or the button that has the focus; in the
// statement boxes Ctrl+Enter types a line break instead.
bool frmMain::pressDefaultButton(QObject *watched, const QKeyEvent *keyEvent)
{
    if (keyEvent->key() != Qt::Key_Return && keyEvent->key() != Qt::Key_Enter)
        return false;
    auto *box = qobject_cast<QPlainTextEdit *>(watched);
    if (box && keyEvent->modifiers().testFlag(Qt::ControlModifier)) {
        box->textCursor().insertText(QStringLiteral("\n"));
        return true;
    }
    if (auto *button = qobject_cast<QPushButton *>(watched)) {
        button->click();
        return true;
    }
    QPushButton *target = cmdSækja->isDefault() ? cmdSækja : cmdExecute->isDefault() ? cmdExecute : nullptr;
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
        else if (watched == txtSelect || watched == lvwSviðTöflur || watched == lvwNiðurstöður)
            makeDefault(cmdSækja);
        break;
    case QEvent::FocusOut:
        // Only a move to another control stores the box, not the window
        // losing the keyboard to a warning or another program.
        if ((watched == txtSelect || watched == txtExecute) && movedWithinWindow(static_cast<QFocusEvent *>(event))) {
            try {
                watched == txtSelect ? txtSelect_LostFocus() : txtExecute_LostFocus();
            } catch (const std::exception &error) {
                // Not shown from inside the focus change itself.
                QTimer::singleShot(0, this, [text = description(error)] { frmVidvorun::showWarning(text); });
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

float frmMain::TextWidth(const QString &text) const
{
    return Twips(this).fromPixels(QFontMetrics(font()).horizontalAdvance(text));
}

// The grid follows the outline's names when each of them picks out exactly
// one field. Otherwise (select *, t.*, an unaliased expression, two tables'
// columns of the same name, a statement the outline does not read) a lookup by
// name would fail or show one field under two headers, so the result's own
// fields are shown, in order, under the engine's names.
std::vector<frmMain::GridColumn> frmMain::gridColumns(const Recordset &result) const
{
    std::vector<GridColumn> columns;
    const bool byOutline = !colFields.isEmpty()
        && std::all_of(colFields.cbegin(), colFields.cend(), [&result](const QString &name) { return result.fieldsNamed(name) == 1; });
    if (byOutline) {
        for (const QString &name : colFields)
            columns.push_back({result.fieldIndex(name), name});
    } else {
        for (int i = 0; i < result.fieldCount(); ++i)
            columns.push_back({i, result.fieldName(i)});
    }
    return columns;
}

void frmMain::addGridColumns(const std::vector<GridColumn> &columns)
{
    QStringList headers;
    headers.reserve(qsizetype(columns.size()));
    for (const GridColumn &column : columns)
        headers.append(column.header);
    lvwNiðurstöður->addColumns(headers);
    // A header's own width has no upper bound.
    for (int i = 0; i < int(columns.size()); ++i)
        lvwNiðurstöður->setColumnWidth(i, TextWidth(headers[i]) + widthMargin);
}

void frmMain::widenColumn(int column, const QString &cellText, GridFill &fill)
{
    float &current = fill.widths[size_t(column)];
    int lower = 0;
    int upper = 0;
    const bool bounded = m_widthBound->bound(cellText, lower, upper);
    if (bounded) {
        // The measured width lies between the bounds, so where one of them
        // already decides both comparisons below, measuring changes nothing.
        if (fill.twips.fromPixels(upper) + widthMargin <= std::min(current, maxCellWidth))
            return;
        if (fill.twips.fromPixels(lower) + widthMargin > maxCellWidth) {
            lvwNiðurstöður->setColumnWidth(column, maxCellWidth);
            current = lvwNiðurstöður->columnWidth(column);
            return;
        }
    }
    const int pixels = fill.metrics.horizontalAdvance(cellText);
    if (bounded)
        m_widthBound->confirm(pixels, lower, upper);
    // Both comparisons are strict: a cell that measures exactly the bound, or
    // exactly the current width, changes nothing.
    const float width = fill.twips.fromPixels(pixels) + widthMargin;
    if (width > maxCellWidth)
        lvwNiðurstöður->setColumnWidth(column, maxCellWidth);
    else if (width > current)
        lvwNiðurstöður->setColumnWidth(column, width);
    else
        return;
    current = lvwNiðurstöður->columnWidth(column);
}

void frmMain::fillRow(const Recordset &result, const std::vector<GridColumn> &columns, GridFill &fill)
{
    // Owned by the fill until the grid takes it, and held from its first
    // cell, so a failure part way still shows the cells filled before it.
    auto *row = new QTreeWidgetItem;
    fill.rows.append(row);
    for (int column = 0; column < int(columns.size()); ++column) {
        const FieldValue value = result.value(columns[size_t(column)].field);
        const QString text = withoutOuterSpaces(FieldText(value));
        row->setText(column, text);
        if (value.isNull())
            row->setForeground(column, nullColour);
        widenColumn(column, text, fill);
    }
}

void frmMain::showRows(GridFill &fill)
{
    // One insertion for all rows: the grid updates itself once, not per row.
    lvwNiðurstöður->addTopLevelItems(fill.rows);
    fill.rows.clear();
}

void frmMain::setCountMessage(qint64 count)
{
    const bool plural = IsPlural(qint16(count));
    lblFjöldi->setText(QString::number(count) + (plural ? QStringLiteral(" items found.") : QStringLiteral(" item found.")));
}

void frmMain::cmdSækja_Click()
{
    try {
        txtSelect_LostFocus();
        lvwNiðurstöður->clearItems();
        lvwNiðurstöður->clearColumns();
        std::unique_ptr<Recordset> result = OpenQuery(txtSelect->toPlainText());
        if (result->eof()) {
            lblFjöldi->setText(QStringLiteral("0 items found."));
            result->close();
            return;
        }
        const std::vector<GridColumn> columns = gridColumns(*result);
        addGridColumns(columns);
        if (!m_widthBound || m_widthBound->font() != font())
            m_widthBound = std::make_unique<TextWidthBound>(font());
        GridFill fill(this);
        fill.rows.reserve(rowLimit);
        for (int column = 0; column < int(columns.size()); ++column)
            fill.widths.push_back(lvwNiðurstöður->columnWidth(column));
        try {
            while (!result->eof()) {
                fillRow(*result, columns, fill);
                result->moveNext();
                if (fill.rows.size() == rowLimit && !result->eof()) {
                    showRows(fill);
                    result->close();
                    // Only a result that runs past the limit needs the count
                    // statement; otherwise the rows read are the count.
                    ShowRowCount();
                    if (lblFjöldi->text().isEmpty())
                        lblFjöldi->setText(QStringLiteral("Over 1000 items found."));
                    else
                        lblFjöldi->setText(lblFjöldi->text() + QStringLiteral(" The first 1000 are shown."));
                    return;
                }
            }
        } catch (...) {
            // The rows read before the failure stay visible.
            showRows(fill);
            throw;
        }
        showRows(fill);
        setCountMessage(result->recordCount());
        result->close();
    } catch (const std::exception &error) {
        frmVidvorun::showWarning(QStringLiteral("Error in database. ") + description(error));
    }
}

// Writes the count of the whole result, or leaves the label empty when the
// count cannot be had; it never reports a failure of its own.
void frmMain::ShowRowCount()
{
    try {
        std::unique_ptr<Recordset> count = OpenQuery(countStatement(txtSelect->toPlainText()));
        const FieldValue value = count->value(u"fjoldi");
        const qint64 n = countOf(value);
        // The count is copied to 16 bits for the wording; a larger count is
        // an overflow, which leaves the label empty.
        if (n < std::numeric_limits<qint16>::min() || n > std::numeric_limits<qint16>::max())
            throw DatabaseError(QStringLiteral("Overflow"));
        lblFjöldi->setText(FieldText(value) + (IsPlural(qint16(n)) ? QStringLiteral(" items found.") : QStringLiteral(" item found.")));
        count->close();
    } catch (const std::exception &) {
        lblFjöldi->clear();
    }
}

void frmMain::cmdExecute_Click()
{
    try {
        txtExecute_LostFocus();
        dbMain->execute(txtExecute->toPlainText());
    } catch (const std::exception &) {
        frmVidvorun::showWarning(QStringLiteral("Error in database"));
    }
}

} // namespace morvane

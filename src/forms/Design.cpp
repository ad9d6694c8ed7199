#include "Design.h"

#include <QDialog>

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace morvane {

namespace {
constexpr float twipsPerInch = 1440.0f;
}

Twips::Twips(const QWidget *widget) : m_perPixel(twipsPerInch / float(widget->logicalDpiX())) {}

int Twips::toPixels(float twips) const
{
    return int(std::lround(twips / m_perPixel));
}

QRect Twips::rect(float left, float top, float width, float height) const
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

void Twips::place(QWidget *widget, float left, float top, float width, float height) const
{
    widget->setGeometry(rect(left, top, width, height));
}

void Twips::setClientSize(QWidget *window, float width, float height) const
{
    window->resize(toPixels(width), toPixels(height));
}

namespace {

// Debian ships a metric-compatible Tahoma with Wine's fonts, outside the
// folders fontconfig searches; it is used when no Tahoma is installed.
void addTahomaIfMissing()
{
    static const bool once = [] {
        if (!QFontDatabase::hasFamily(QStringLiteral("Tahoma")))
            QFontDatabase::addApplicationFont(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"));
        return true;
    }();
    Q_UNUSED(once);
}

} // namespace

QFont designFont()
{
    addTahomaIfMissing();
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("sans-serif")});
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

void setUpFixedDialog(QDialog *dialog, const QString &objectName, const QString &title, float width, float height)
{
    dialog->setObjectName(objectName);
    dialog->setWindowTitle(title);
    dialog->setFont(designFont());
    dialog->setFixedSize(Twips(dialog).rect(0, 0, width, height).size());
}

void centreOnScreen(QWidget *window)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

} // namespace morvane

#pragma once

#include <QFont>
#include <QRect>

#include <memory>

class QDialog;
class QWidget;

namespace morvane {

// The windows are designed in twips (1/1440 inch). A widget's geometry is
// kept in pixels, so every value read back from a widget is whole pixels
// converted to twips, as the widget reports it.
class Twips
{
public:
    // The screen's logical DPI decides the scale: 15 twips a pixel at 96 DPI.
    explicit Twips(const QWidget *widget);
    explicit Twips(float twipsPerPixel) : m_perPixel(twipsPerPixel) {}

    [[nodiscard]] float perPixel() const { return m_perPixel; }
    [[nodiscard]] int toPixels(float twips) const;
    [[nodiscard]] float fromPixels(int pixels) const { return float(pixels) * m_perPixel; }
    // What a widget reports after being given `twips`: rounded to whole pixels.
    [[nodiscard]] float asReported(float twips) const { return fromPixels(toPixels(twips)); }

    [[nodiscard]] QRect rect(float left, float top, float width, float height) const;
    void place(QWidget *widget, float left, float top, float width, float height) const;
    void setClientSize(QWidget *window, float width, float height) const;

private:
    float m_perPixel;
};

// Tahoma 8.25 pt, regular, as the windows were designed; the system's sans
// font stands in where Tahoma is not installed.
[[nodiscard]] QFont designFont();

// A dialog of fixed size with a title bar and a close button only.
inline constexpr Qt::WindowFlags fixedDialogFlags = Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint
    | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// What every dialog starts with: its name, its title, the windows' font and
// its fixed size in twips.
void setUpFixedDialog(QDialog *dialog, const QString &objectName, const QString &title, float width, float height);

// Centres a top-level window on the screen it is on.
void centreOnScreen(QWidget *window);

// Top-level windows have no parent to own them: each one deletes itself when
// it is closed, so a form shown again starts from its design state.
template<typename Form, typename... Args>
Form *createForm(Args &&...args)
{
    auto form = std::make_unique<Form>(std::forward<Args>(args)...);
    form->setAttribute(Qt::WA_DeleteOnClose);
    return form.release();
}

} // namespace morvane

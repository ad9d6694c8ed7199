#pragma once

#include <QObject>

class QDropEvent;
class QLineEdit;
class QMimeData;
class QWidget;

namespace morvane {

// Lets a file dragged from a file manager onto a window fill the window's
// path box. Only a local file is taken; a web address or other non-local
// URL is refused rather than typed into the box as text.
class PathDrop : public QObject
{
    Q_OBJECT

public:
    // Watches `window` and `box`; owned by `window`.
    PathDrop(QWidget *window, QLineEdit *box);

    // The local path a drop of `data` would put in the box: empty when the
    // drop carries no URL or its first URL is not a local file.
    [[nodiscard]] static QString localPath(const QMimeData *data);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *m_box;
};

} // namespace morvane

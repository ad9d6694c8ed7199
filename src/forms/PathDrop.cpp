#include "PathDrop.h"

#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

namespace morvane {

PathDrop::PathDrop(QWidget *window, QLineEdit *box) : QObject(window), m_box(box)
{
    window->setAcceptDrops(true);
    window->installEventFilter(this);
    box->installEventFilter(this);
}

QString PathDrop::localPath(const QMimeData *data)
{
    if (!data || !data->hasUrls() || data->urls().isEmpty())
        return {};
    const QUrl url = data->urls().constFirst();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

bool PathDrop::eventFilter(QObject *, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return false;
    auto *drop = static_cast<QDropEvent *>(event);
    // Plain text dragged onto the box is the box's own business.
    if (!drop->mimeData()->hasUrls())
        return false;
    const QString path = localPath(drop->mimeData());
    if (path.isEmpty()) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (type == QEvent::Drop) {
        m_box->setText(path);
        m_box->setFocus(Qt::OtherFocusReason);
    }
    return true;
}

} // namespace morvane

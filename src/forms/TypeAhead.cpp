#include "TypeAhead.h"

#include <QApplication>

namespace morvane {

TypeAhead::TypeAhead(QObject *owner) : QObject(owner)
{
    connect(&m_poll, &QTimer::timeout, this, &TypeAhead::deliverIfFree);
}

void TypeAhead::collectPending()
{
    qApp->installEventFilter(this);
    QCoreApplication::processEvents();
    qApp->removeEventFilter(this);
}

void TypeAhead::deliverWhenFree()
{
    if (m_keys.empty())
        deleteLater();
    else
        m_poll.start(10);
}

bool TypeAhead::eventFilter(QObject *receiver, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        m_keys.emplace_back(receiver, static_cast<QKeyEvent *>(event)->clone());
        return true;
    case QEvent::ShortcutOverride:
        // Taken as a key for the control, not as a shortcut: the key press
        // that follows is kept.
        event->accept();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}

void TypeAhead::deliverIfFree()
{
    if (QApplication::activeModalWidget())
        return;
    m_poll.stop();
    // A key may start another run, with event loops of its own.
    const auto keys = std::move(m_keys);
    deleteLater();
    for (const auto &[receiver, key] : keys) {
        if (receiver)
            QCoreApplication::sendEvent(receiver, key.get());
    }
}

} // namespace morvane

#pragma once

#include <QKeyEvent>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

namespace morvane {

// The keys typed while a run waits for its progress window. The window
// system holds them back until then, and the windows behind a modal one would
// drop them. They are taken just before that window shows and handed over
// once the run has ended and no modal window (a warning about the run) holds
// the keyboard: the window they were typed into gives them to its focus
// control, as if typed then. Clicks meanwhile are dropped, as the modal
// window would drop them.
class TypeAhead : public QObject
{
public:
    // Goes with `owner`, or by itself once it has handed the keys over.
    explicit TypeAhead(QObject *owner);

    // Takes the input the window system holds now.
    void collectPending();
    // Hands the keys over as soon as no modal window is open.
    void deliverWhenFree();

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override;

private:
    void deliverIfFree();

    QTimer m_poll;
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QKeyEvent>>> m_keys;
};

} // namespace morvane

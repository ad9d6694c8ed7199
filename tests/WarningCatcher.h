#pragma once

#include "frmVidvorun.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace morvane::test {

// Answers the modal warnings that an action raises: records each message and
// closes the warning, so a test can run code that waits in a modal loop.
class WarningCatcher
{
public:
    using Answer = std::function<void(frmVidvorun *)>;

    // By default each warning is closed with its button.
    explicit WarningCatcher(Answer answer = {}) : m_answer(std::move(answer))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start(5);
    }

    [[nodiscard]] const QStringList &messages() const { return m_messages; }
    // What each warning holds behind its line: the engine's own words.
    [[nodiscard]] const QStringList &descriptions() const { return m_descriptions; }
    // The label's geometry and state of the last warning, as it was shown.
    [[nodiscard]] QRect lastLabelGeometry() const { return m_labelGeometry; }
    [[nodiscard]] QSize lastDialogSize() const { return m_dialogSize; }
    [[nodiscard]] bool lastWordWrap() const { return m_wordWrap; }
    [[nodiscard]] bool lastHadNoOwner() const { return m_noOwner; }

private:
    void poll()
    {
        auto *warning = qobject_cast<frmVidvorun *>(QApplication::activeModalWidget());
        if (!warning || !warning->isVisible() || warning == m_handled)
            return;
        m_handled = warning;
        m_messages.append(warning->messageLabel->text());
        m_descriptions.append(warning->messageLabel->toolTip());
        m_labelGeometry = warning->messageLabel->geometry();
        m_dialogSize = warning->size();
        m_wordWrap = warning->messageLabel->wordWrap();
        m_noOwner = warning->parentWidget() == nullptr;
        if (m_answer)
            m_answer(warning);
        else
            warning->closeButton->click();
    }

    Answer m_answer;
    QTimer m_timer;
    QStringList m_messages;
    QStringList m_descriptions;
    QPointer<frmVidvorun> m_handled;
    QRect m_labelGeometry;
    QSize m_dialogSize;
    bool m_wordWrap = true;
    bool m_noOwner = false;
};

} // namespace morvane::test

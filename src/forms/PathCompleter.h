#pragma once

#include <QCompleter>

class QFileSystemModel;
class QLineEdit;

namespace morvane {

// Completes a typed path from the file system: folders and files, listed as
// the user types. The box's text changes only when a completion is chosen.
// Enter takes the highlighted choice; with none highlighted it does what it
// does in the box without the list, so it still presses the default button.
class PathCompleter : public QCompleter
{
    Q_OBJECT

public:
    // Installs itself on `box`, which owns it.
    explicit PathCompleter(QLineEdit *box);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QFileSystemModel *files(QLineEdit *box);

    QFileSystemModel *m_files = nullptr;
};

} // namespace morvane

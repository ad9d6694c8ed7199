#pragma once

#include <QCompleter>

class QLineEdit;

namespace morvane {

// Completes a typed path from the file system: folders and files, listed as
// the user types. The box's text changes only when a completion is chosen.
class PathCompleter : public QCompleter
{
    Q_OBJECT

public:
    // Installs itself on `box`, which owns it.
    explicit PathCompleter(QLineEdit *box);
};

} // namespace morvane

#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace morvane {

// Asks the user for the password of the file named `fileName` (its name
// only, not its folder); nothing when the user declines. The engine calls it
// from the thread that opens the file, only when the file is encrypted, and
// wipes the password once it has made the key from it; it is never stored.
using PasswordPrompt = std::function<std::optional<QString>(const QString &fileName)>;

} // namespace morvane

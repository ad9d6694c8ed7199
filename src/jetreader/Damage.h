#pragma once

namespace morvane::jetreader {

// Damage found while reading a table's rows. It is thrown deep inside the
// decoding, where the table is not known; the scan that catches it names the
// table and tells the user.
struct Damage
{
    const char *what;
};

[[noreturn]] inline void damaged(const char *what)
{
    throw Damage{what};
}

} // namespace morvane::jetreader

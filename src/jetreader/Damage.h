#pragma once

#include "ReaderFailure.h"
#include "ReplyChannel.h"

#include <cstdint>
#include <string>

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

// Runs `scan`, which streams rows into `channel` and returns how many it
// sent. When it fails, a row it had begun is dropped, so the rows already
// sent stay whole, and damage becomes a ReaderFailure saying that `what`
// (such as "The table 'Orders'") could not be read.
template<typename Scan>
std::uint64_t scanReportingDamage(ReplyChannel &channel, const std::string &what, Scan scan)
{
    try {
        return scan();
    } catch (const Damage &damage) {
        channel.dropRow();
        throw ReaderFailure(what + " could not be read because the file is damaged: " + damage.what);
    } catch (...) {
        channel.dropRow();
        throw;
    }
}

} // namespace morvane::jetreader

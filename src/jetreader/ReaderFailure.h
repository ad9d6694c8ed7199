#pragma once

#include <stdexcept>
#include <string>

namespace morvane::jetreader {

// A request that cannot be answered; the text goes to the user as the
// description of the failure.
class ReaderFailure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

} // namespace morvane::jetreader

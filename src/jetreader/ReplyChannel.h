#pragma once

#include "JetReaderProtocol.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane::jetreader {

// The reader's end of the conversation: requests come in on one descriptor,
// replies go out on another. Rows are gathered into large frames so a scan
// costs few system calls; everything else is sent at once.
class ReplyChannel
{
public:
    struct Incoming
    {
        Request type;
        std::string payload;
    };

    ReplyChannel(int in, int out);

    // The next request; nothing once the program has closed its end.
    [[nodiscard]] std::optional<Incoming> receive();

    void send(Reply type, std::string_view payload = {});

    // Row building: beginRow(), then the values appended to rowData(), then
    // endRow(). dropRow() discards a row that could not be finished.
    void beginRow();
    [[nodiscard]] std::string &rowData() { return m_rows; }
    void endRow();
    void dropRow();

    // Sends what has been gathered, or an Alive frame when there is nothing,
    // if the program has heard nothing for a while. Cheap enough to call for
    // every page read.
    void keepAlive();

    // Sends the gathered rows now.
    void flushRows();

private:
    void writeFrame(Reply type, std::string_view payload);
    void writeAll(const char *data, std::size_t size);
    bool readAll(char *data, std::size_t size);

    int m_in;
    int m_out;
    std::string m_rows;
    std::size_t m_rowStart = 0;
    bool m_inRow = false;
    std::chrono::steady_clock::time_point m_lastSent;
};

} // namespace morvane::jetreader

#include "ReplyChannel.h"

#include "ReaderFailure.h"

#include <cerrno>
#include <unistd.h>

namespace morvane::jetreader {

namespace {

// Well below the program's watchdog bound, so a reader at work is never
// mistaken for a stuck one.
constexpr auto aliveInterval = std::chrono::milliseconds(250);

} // namespace

ReplyChannel::ReplyChannel(int in, int out) : m_in(in), m_out(out), m_lastSent(std::chrono::steady_clock::now())
{
    // Touched now, before the program waits for rows, not during the first
    // scan.
    m_rows.assign(rowsFrameTarget * 2, '\0');
    m_rows.clear();
}

bool ReplyChannel::readAll(char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = ::read(m_in, data, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= std::size_t(got);
    }
    return true;
}

void ReplyChannel::writeAll(const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t put = ::write(m_out, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        // The program has gone away; there is nobody left to answer.
        if (put <= 0)
            ::_exit(0);
        data += put;
        size -= std::size_t(put);
    }
    m_lastSent = std::chrono::steady_clock::now();
}

std::optional<ReplyChannel::Incoming> ReplyChannel::receive()
{
    unsigned char header[frameHeaderSize];
    if (!readAll(reinterpret_cast<char *>(header), sizeof header))
        return std::nullopt;
    const std::uint32_t size = getU32(header + 1);
    if (size > maxRequestPayload)
        return std::nullopt;
    Incoming request{static_cast<Request>(header[0]), std::string(size, '\0')};
    if (!readAll(request.payload.data(), size))
        return std::nullopt;
    return request;
}

void ReplyChannel::send(Reply type, std::string_view payload)
{
    flushRows();
    writeFrame(type, payload);
}

void ReplyChannel::writeFrame(Reply type, std::string_view payload)
{
    std::string frame;
    frame.reserve(frameHeaderSize + payload.size());
    putU8(frame, std::uint8_t(type));
    putU32(frame, std::uint32_t(payload.size()));
    frame.append(payload);
    writeAll(frame.data(), frame.size());
}

void ReplyChannel::beginRow()
{
    if (m_rows.empty()) {
        putU8(m_rows, std::uint8_t(Reply::Rows));
        putU32(m_rows, 0);
    }
    m_rowStart = m_rows.size();
    putU32(m_rows, 0);
    m_inRow = true;
}

void ReplyChannel::endRow()
{
    const std::size_t length = m_rows.size() - m_rowStart - 4;
    if (m_rows.size() - frameHeaderSize > maxFramePayload)
        throw ReaderFailure("A row of this table is too large to be read.");
    patchU32(m_rows, m_rowStart, std::uint32_t(length));
    m_inRow = false;
    if (m_rows.size() >= rowsFrameTarget)
        flushRows();
}

void ReplyChannel::dropRow()
{
    if (!m_inRow)
        return;
    m_inRow = false;
    m_rows.resize(m_rowStart);
    if (m_rows.size() == frameHeaderSize)
        m_rows.clear();
}

void ReplyChannel::flushRows()
{
    if (m_rows.empty())
        return;
    patchU32(m_rows, 1, std::uint32_t(m_rows.size() - frameHeaderSize));
    writeAll(m_rows.data(), m_rows.size());
    m_rows.clear();
}

void ReplyChannel::keepAlive()
{
    if (std::chrono::steady_clock::now() - m_lastSent < aliveInterval)
        return;
    // Half a row must not leave; the rows gathered wait for the next frame.
    if (m_rows.empty() || m_inRow)
        writeFrame(Reply::Alive, {});
    else
        flushRows();
}

} // namespace morvane::jetreader

// morvane-jet-reader: reads an Access file for the program, in a process of
// its own. libmdb was not written for damaged files and can loop forever on
// some of them; here it can only take this process down, and the program's
// watchdog kills it when it stops answering.
//
// Usage (by the program only): morvane-jet-reader <program pid>, with the
// database file open read-only on descriptor 3 and the conversation of
// JetReaderProtocol.h on descriptor 4.

#include "JetReaderProtocol.h"
#include "ReaderFailure.h"
#include "ReaderSession.h"
#include "ReplyChannel.h"
#include "SecretBytes.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace morvane::jetreader;

// Settles the process before libmdb runs: no core files from a crash on a
// damaged file, no life beyond the program's, nothing from the environment
// (MDBPATH, MDBOPTS and the charset variables steer libmdb).
void settle(const char *programPid)
{
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!programPid || std::to_string(getppid()) != programPid)
        _exit(2);
    clearenv();
    std::signal(SIGPIPE, SIG_DFL);
}

int serve(ReplyChannel &channel, ReaderSession &session)
{
    while (auto request = channel.receive()) {
        try {
            switch (request->type) {
            case Request::Catalog:
                channel.send(Reply::Catalog, session.catalog(channel));
                break;
            case Request::Scan: {
                PayloadReader payload(request->payload.data(), request->payload.size());
                const std::uint16_t columns = payload.u16();
                const ColumnMask mask = payload.u64();
                const std::uint64_t skip = payload.u64();
                const std::string_view name = payload.rest();
                if (!payload.ok())
                    return 2;
                std::string end;
                putU64(end, session.scan(name, columns, mask, skip, channel));
                channel.send(Reply::End, end);
                break;
            }
            default:
                return 2;
            }
        } catch (const ReaderFailure &failure) {
            channel.send(Reply::Failure, failure.what());
        } catch (const std::bad_alloc &) {
            channel.send(Reply::Failure, "There is not enough memory to read this table.");
        }
    }
    return 0;
}

// The key to an encrypted file: the program sends it first, before it waits
// for the Hello. The request's bytes are wiped once copied.
SecretBytes receiveKey(ReplyChannel &channel)
{
    auto request = channel.receive();
    if (!request || request->type != Request::Unlock)
        throw ReaderFailure("The file is encrypted with a password.");
    SecretBytes key(request->payload.data(), request->payload.size());
    OPENSSL_cleanse(request->payload.data(), request->payload.size());
    return key;
}

} // namespace

int main(int argc, char **argv)
{
    settle(argc > 1 ? argv[1] : nullptr);
    ReplyChannel channel(channelFd, channelFd);
    std::unique_ptr<ReaderSession> session;
    try {
        session = std::make_unique<ReaderSession>(databaseFd, [&channel] { return receiveKey(channel); });
    } catch (const ReaderFailure &failure) {
        channel.send(Reply::Failure, failure.what());
        return 1;
    } catch (const std::bad_alloc &) {
        channel.send(Reply::Failure, "There is not enough memory to read this file.");
        return 1;
    }
    channel.send(Reply::Hello, session->hello());
    return serve(channel, *session);
}

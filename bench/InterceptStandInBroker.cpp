// A broker for bench/intercept-bench.sh that answers every RUN with SLOT at once and waits for
// DONE, so that what the benchmark measures is the relay's own cost.
//   InterceptStandInBroker <socket path>     (ends on SIGTERM; removes the socket)

#include "RelayProtocol.h"
#include "platform/LocalSocket.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::string socketPath;

void Stop(int) {
    unlink(socketPath.c_str());
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: InterceptStandInBroker <socket path>\n", stderr);
        return 2;
    }
    socketPath = argv[1];
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    auto listener = qz::platform::ListenLocalSocket(socketPath);
    if (!listener) {
        std::fprintf(stderr, "InterceptStandInBroker: %s\n", listener.error().Text().c_str());
        return 1;
    }
    long step = 0;
    for (;;) {
        auto connection = qz::platform::AcceptLocalConnection(*listener);
        if (!connection) {
            continue;
        }
        auto run = qz::intercept::ReadMessage(*connection);
        if (run && std::holds_alternative<qz::intercept::RunMessage>(*run)) {
            (void)qz::intercept::WriteMessage(*connection,
                                              qz::intercept::SlotMessage{std::to_string(++step)});
            (void)qz::intercept::ReadMessage(*connection);
        }
        qz::platform::CloseHandle(*connection);
    }
}

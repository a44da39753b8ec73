// tovrin board: the line at a glance in a browser, and its metrics for monitoring, read from
// the record store that the stations write. It only reads.
#include "board/BoardServer.h"
#include "cli/Commands.h"
#include "cli/Supervision.h"
#include "record/PostgresStore.h"

#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

const char* Environment(const char* name) {
    return std::getenv(name);
}

std::string Url(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

} // namespace

int RunBoard(const CliOptions& options) {
    const std::string target = options.dbFile.empty() ? DefaultRecordStorePath(Environment) : options.dbFile;
    std::string host;
    int port = 0;
    if (!ParseListen(options.listen, host, port)) {
        std::cerr << "tovrin: --listen " << options.listen
                  << " is not ADDRESS:PORT (127.0.0.1:8080, [::1]:8080, 0.0.0.0:8080)\n";
        return kExitRefused;
    }
    if (target.empty()) {
        std::cerr << "tovrin: no record store: give its path with --db (or set HOME or XDG_STATE_HOME)\n";
        return kExitRefused;
    }
    // The signals are taken by this thread alone: the reader's and the server's threads inherit
    // the mask.
    const UniqueFd signals = TerminationSignals();
    std::string reason;
    BoardReader reader(target, options.dbSchema);
    if (!signals || !reader.Open(reason)) {
        std::cerr << "tovrin: " << (signals ? reason : std::string("signalfd: ") + std::strerror(errno))
                  << "\n";
        return kExitRefused;
    }
    BoardServer server(reader);
    int bound = 0;
    if (!server.Bind(host, port, bound, reason)) {
        std::cerr << "tovrin: " << reason << "\n";
        return kExitRefused;
    }
    reader.Start();
    server.Start();
    std::cout << "board: " << Url(host, bound) << " (record " << reader.Shown() << ")" << std::endl;
    // Until a termination signal: nothing else is waited for here.
    for (;;) {
        pollfd wait{signals.Get(), POLLIN, 0};
        if (poll(&wait, 1, -1) > 0 && TakeSignal(signals.Get()) != 0) {
            break;
        }
    }
    server.Stop();
    reader.Stop();
    return kExitCompleted;
}

// stop_signals_posix.cpp - Ctrl-C, SIGTERM and a closed terminal on POSIX.
#include "stop_signals.h"

#include "capture.h"

#include <csignal>
#include <cstring>

namespace {

void on_stop_signal(int) {
    request_stop();
}

} // namespace

int install_stop_handlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0 ||
        sigaction(SIGHUP, &sa, nullptr) != 0)
        return -1;
    // Output into a pipe whose reader has gone must not kill the run before
    // the port is put back; the write just fails.
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0 ? 0 : -1;
}

void stop_handlers_done() {}

// main.cpp - dedizo: back up a QTB's channel configuration over its console.
//
// The run, start to end:
//   1. take the port name from the command line;
//   2. open the port, exclusively, and note its settings as we found them;
//   3. set the line to what the QTB console speaks: 9600 8N1, no handshake;
//   4. print the banner and let the dialogue walk the menus and write QTB.CFG;
//   5. put the port's settings back and let go of it.
// Whatever the dialogue met (a silent or locked device, a wrong screen, a
// disk that would not take the file, the operator pressing Ctrl-C), step 5
// runs: the next program to use the port must find it as it was.
#include "capture.h"
#include "serial_link.h"
#include "stop_signals.h"

#include <cstdio>

namespace {

// Exit status of a run the operator interrupted (128 + SIGINT, as shells
// report it).
constexpr int EXIT_INTERRUPTED = 130;

void print_banner() {
    std::fputs("\n\n", stdout);
    std::fputs("          [ ]\n", stdout);
    std::fputs("[ ] [+]         QTB Configuration Backup Tool\n", stdout);
    std::fputs("                dedizo project\n", stdout);
    std::fputs("[+] [+] [+]     Serial Console Tools Workshop\n", stdout);
    std::fputs("                1 Harbour Lane, Northport\n", stdout);
    std::fputs("[ ] [+] [ ]     Freely available\n\n\n", stdout);
    std::fputs("== Backs up channels 1 to 8 into QTB.CFG ==\n\n\n", stdout);
}

// A setup step failed after the port's settings may already have been
// changed: put them back and let go of the port before giving up.
void abandon_port(PortHandle port, const PortSnapshot *snapshot) {
    restore_port_settings(port, snapshot);
    close_port(port);
}

// Every return once the handlers are in: a console-close handler holding the
// process open may let go now.
int leave(int status) {
    stop_handlers_done();
    std::fflush(stdout);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs("Usage: DEDIZO [COM1: | COM2:]\n\r", stdout);
        return -1;
    }
    const char *port_name = argv[1];
    install_stop_handlers();

    PortHandle port = open_port(port_name);
    if (port == nullptr) {
        std::printf("Unable to open commport: %s\n\r", port_name);
        return leave(-1);
    }

    PortSnapshot snapshot;
    if (save_port_settings(port, &snapshot) != 0) {
        std::printf("Unable to retrieve port configuration of : %s\n\r", port_name);
        close_port(port);
        return leave(-1);
    }

    if (configure_port(port) != 0) {
        std::printf("Unable to configure port: %s\n\r", port_name);
        abandon_port(port, &snapshot);
        return leave(-1);
    }

    TransferSlot receive_slot{};
    TransferSlot send_slot{};
    if (create_transfer_events(&receive_slot, &send_slot) != 0) {
        std::fputs("Could not create overlapped events\n\r", stdout);
        close_transfer_events(&receive_slot, &send_slot);
        abandon_port(port, &snapshot);
        return leave(-1);
    }

    print_banner();
    run_backup(port, &receive_slot, &send_slot);

    if (restore_port_settings(port, &snapshot) != 0) {
        std::printf("Unable to restore port configuration of : %s\n\r", port_name);
        close_port(port);
        close_transfer_events(&receive_slot, &send_slot);
        return leave(-1);
    }
    close_port(port);
    close_transfer_events(&receive_slot, &send_slot);
    return leave(stop_requested() ? EXIT_INTERRUPTED : 0);
}

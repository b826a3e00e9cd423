// stop_signals_win32.cpp - console control events on Windows.
//
// Windows calls the handler on a thread of its own. Ctrl-C and Ctrl-Break
// only ask the dialogue to stop and report the event as handled, so the run
// unwinds through main, which restores the port. Closing the console window,
// logging off or shutting down is different: Windows ends the process as soon
// as the handler returns (and in any case a few seconds after the event). So
// for those the handler holds the process open, after asking the dialogue to
// stop, until main reports that the port is back as it was, or until the
// bound below has passed. A receive waits at most a second, so main gets
// there well within it.
#include "stop_signals.h"

#include "capture.h"

#include <windows.h>

namespace {

// How long a closing console waits for main; Windows allows about five
// seconds before it ends the process regardless.
constexpr DWORD CLOSE_WAIT_MS = 4000;

// Set once main has restored and closed the port. Manual reset: once set it
// stays set, so a close event that comes later does not wait at all.
HANDLE port_released = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        request_stop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        request_stop();
        if (port_released != nullptr) {
            WaitForSingleObject(port_released, CLOSE_WAIT_MS);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

int install_stop_handlers() {
    if (port_released == nullptr) {
        port_released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (port_released == nullptr) {
            return -1;
        }
    }
    return SetConsoleCtrlHandler(on_console_event, TRUE) ? 0 : -1;
}

void stop_handlers_done() {
    if (port_released != nullptr) {
        SetEvent(port_released);
    }
}

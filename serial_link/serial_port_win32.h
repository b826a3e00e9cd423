// serial_port_win32.h - what a PortHandle points at on Windows.
//
// Private to the Windows serial backend and to the tests that check that
// backend from the inside (they read the port's DCB and COMMTIMEOUTS through
// the same handle). Nothing else in dedizo includes it: the rest of the
// program sees a PortHandle only as an opaque pointer.
#ifndef DEDIZO_SERIAL_PORT_WIN32_H
#define DEDIZO_SERIAL_PORT_WIN32_H

#include <windows.h>

// One entry of the backend's fixed port table. A null handle marks a free
// entry; an open port never holds INVALID_HANDLE_VALUE.
struct SerialPort {
    HANDLE handle;
};

#endif

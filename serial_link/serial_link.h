// serial_link.h - the one serial port of a dedizo run.
//
// Principles of operation
// -----------------------
// The QTB console is a plain RS-232 line. dedizo takes the port over for the
// length of one run, sets the line to 9600 baud, 8 data bits, no parity, one
// stop bit with CTS and XON/XOFF flow control off, and hands it back with the
// settings it had before.
//
// Replies from the device have no framing: a screen paint is a burst of bytes,
// and the only sign that it is over is the line going quiet. A receive
// therefore completes 50 ms after the last byte it saw (or as soon as the
// caller's buffer is full), and gives up when nothing complete has arrived
// 1,000 ms after it started. A receive that gives up is cancelled before it
// returns: no read is ever left outstanding behind the caller's back, so no
// late byte can land in a buffer the caller has moved on from.
//
// A send hands one short key sequence to the driver and waits until it has
// gone. The wait is bounded (a few seconds, against 3 ms for a key at 9600
// baud) so that a port whose driver holds output back for ever, for instance
// on a hardware handshake line that never rises, cannot hang the run.
//
// The header is the same on every platform. Each operating system has its own
// backend file (serial_link_posix.cpp, serial_link_win32.cpp), picked by the
// build; its per-port state stays private to that file. The records the
// caller owns, PortSnapshot and TransferSlot, are fixed-size opaque storage
// that only the backend interprets.
//
// Calling order: open_port, save_port_settings, configure_port,
// create_transfer_events; then any number of send_text and receive_reply;
// then restore_port_settings, close_port, close_transfer_events.
//
// Nothing here prints: every operation reports by its result and the caller
// words the message.
#ifndef DEDIZO_SERIAL_LINK_H
#define DEDIZO_SERIAL_LINK_H

#include <cstddef>

// The open port. A null handle stands for "no port".
struct SerialPort;
typedef SerialPort *PortHandle;

// The port's own settings as found at start, written back at the end.
// (Win32: a DCB and a COMMTIMEOUTS; POSIX: a struct termios.)
struct PortSnapshot {
    alignas(16) unsigned char saved[256];
};

// One direction's transfer record and its completion event. There are two
// per run: the receive slot, used only by receive_reply, and the send slot,
// used only by send_text. (Win32: an OVERLAPPED with a manual-reset event.)
struct TransferSlot {
    alignas(16) unsigned char state[64];
    bool ready; // set by create_transfer_events, cleared by close_transfer_events
};

// How long a receive waits for a reply to complete, and how long the line
// must stay quiet after a byte for a reply to count as complete.
constexpr int REPLY_WAIT_MS = 1000;
constexpr int REPLY_GAP_MS = 50;
// Upper bound on the wait for one send to leave.
constexpr int SEND_WAIT_MS = 5000;

// Opens the named port ("COM1:", "\\.\COM10", "/dev/ttyUSB0") for reading and
// writing, exclusively: a port already held by another program, or by another
// open of this one, is refused. Returns null when the port cannot be opened.
PortHandle open_port(const char *name);

// Fills the snapshot with the port's current settings. 0, or -1 when they
// cannot be read (which is also how a name that is not a serial port shows).
int save_port_settings(PortHandle port, PortSnapshot *snapshot);

// Sets 9600 baud, 8 data bits, no parity, 1 stop bit; clears parity checking,
// CTS output flow control and XON/XOFF in both directions. DSR/DTR/RTS
// handling stays as the driver reports it. On a POSIX tty the line discipline
// is also switched to raw (no echo, line editing, signals or CR/LF changes),
// since the screen paint is 8-bit data; a Windows driver does no such
// processing, and its remaining DCB fields stay as it reports them.
// 0, or -1 (settings applied before the failing step stay applied).
int configure_port(PortHandle port);

// Writes the snapshot back. 0, or -1 when the port refuses it.
int restore_port_settings(PortHandle port, const PortSnapshot *snapshot);

// Prepares the receive slot, then the send slot. 0, or -1 when either could
// not be prepared (a slot prepared before the failure stays prepared).
int create_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot);

// Releases the port. Always 0.
int close_port(PortHandle port);

// Releases the receive slot's event, then the send slot's. Always 0.
int close_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot);

// Sends count bytes and waits until they have gone to the driver, at most
// SEND_WAIT_MS; a send that has not gone by then is cancelled. 0 when the
// send completed, -1 when it failed or was cancelled.
int send_text(PortHandle port, TransferSlot *send_slot, const void *bytes, std::size_t count);

// Reads one reply into buffer[0 .. capacity). Completes REPLY_GAP_MS after the
// last byte, or as soon as capacity bytes are in. Returns the number of bytes
// received, or 0 when nothing complete arrived within REPLY_WAIT_MS of the
// start, when the port has gone, or on any failure. The bytes are placed at
// the start of the buffer; nothing is written after them (no terminator).
// Bytes of a reply that did not complete in time are discarded.
std::size_t receive_reply(PortHandle port, TransferSlot *receive_slot, void *buffer,
                          std::size_t capacity);

#endif

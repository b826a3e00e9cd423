// serial_link_posix.cpp - the serial link on termios (Linux, macOS, BSD).
//
// The port is opened non-blocking and every wait (wait_for) runs against a
// monotonic deadline, so a reply's end is found by the line going quiet for
// REPLY_GAP_MS, measured here, rather than by the driver's VTIME, which only
// counts whole tenths of a second. Nothing is ever left pending between calls:
// a receive that gives up has already consumed (and drops) what it read.
//
// The systems differ only in how wait_for waits, and every difference is in
// this file. DEDIZO_PORTABLE_WAIT (CMake option, preset "portable") builds
// the other systems' wait on Linux, where it is tested.
#include "serial_link.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__) && !defined(DEDIZO_PORTABLE_WAIT)
// Linux: ppoll, for its nanosecond time-out, kept to 1 us by the timer slack (prctl).
#define DEDIZO_LINUX_WAIT 1
#include <poll.h>
#include <sys/prctl.h>
#else
// macOS and the BSDs: select, as macOS's other wait "does not support devices" (a tty).
#define DEDIZO_LINUX_WAIT 0
#include <sys/select.h>
#endif

struct SerialPort {
    int fd;
    bool in_use;
};

namespace {

// A run uses one port; a few more let the tests hold two at once.
constexpr int PORT_TABLE_SIZE = 4;
SerialPort port_table[PORT_TABLE_SIZE];

static_assert(sizeof(termios) <= sizeof(PortSnapshot::saved), "snapshot too small for termios");

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

constexpr long long MS = 1000000LL;

// A long wait ends FINE_WAKE early and the caller's loop waits out the rest,
// a wait short enough to end on time (see wait_for).
constexpr long long FINE_WAKE = MS;

enum class Want { read, write };
enum class Woke { quiet, ready, gone };

// Waits until fd can be read or written (`want`), the port reports trouble,
// or `timeout_ns` has passed (or nearly: see FINE_WAKE). quiet: the time ran
// out or a signal came; ready: go and read or write, which tells data from a
// line that hung up (0 or EIO); gone: the port can no longer be waited on.
Woke wait_for(int fd, Want want, long long timeout_ns) {
    if (timeout_ns < 0)
        timeout_ns = 0;
    if (timeout_ns > 2 * FINE_WAKE)
        timeout_ns -= FINE_WAKE;
#if DEDIZO_LINUX_WAIT
    // Linux lets a ppoll time-out run late by a thousandth of its length or by
    // the thread's timer slack (50 us by default), whichever is more: 1 ms on
    // the 1 s reply wait, 50 us on every 50 ms gap, about 15 ms over a backup;
    // hence FINE_WAKE, and the slack set to 1 us (tighten_timer_slack).
    pollfd p{fd, static_cast<short>(want == Want::read ? POLLIN : POLLOUT), 0};
    timespec ts{static_cast<time_t>(timeout_ns / 1000000000LL),
                static_cast<long>(timeout_ns % 1000000000LL)};
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r < 0)
        return errno == EINTR ? Woke::quiet : Woke::gone;
    if (r == 0)
        return Woke::quiet;
    if (p.revents & POLLIN)
        return Woke::ready; // data first, even on a line that hung up after it
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
        return Woke::gone;
    return Woke::ready;
#else
    // select reports a line that hung up as readable and writable; the read
    // or write that follows finds it gone. The descriptor is below FD_SETSIZE
    // (open_port). select counts microseconds: round up so the wait never
    // ends early.
    const long long us = (timeout_ns + 999) / 1000;
    timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    int r = select(fd + 1, want == Want::read ? &set : nullptr,
                   want == Want::write ? &set : nullptr, nullptr, &tv);
    if (r < 0)
        return errno == EINTR ? Woke::quiet : Woke::gone;
    return r > 0 ? Woke::ready : Woke::quiet;
#endif
}

// Timers of this thread may fire late by at most a microsecond, not 50: the
// end of a reply is measured on them.
void tighten_timer_slack() {
#if DEDIZO_LINUX_WAIT
    // Linux only: the timer slack is a Linux setting (prctl).
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
}

bool settings_took(const termios &want, const termios &got) {
    const tcflag_t cflag_mask = CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL;
    return (got.c_cflag & cflag_mask) == (want.c_cflag & cflag_mask) &&
           (got.c_iflag & (IXON | IXOFF | INPCK | ICRNL)) ==
               (want.c_iflag & (IXON | IXOFF | INPCK | ICRNL)) &&
           (got.c_lflag & (ICANON | ECHO | ISIG)) == (want.c_lflag & (ICANON | ECHO | ISIG)) &&
           cfgetispeed(&got) == cfgetispeed(&want) && cfgetospeed(&got) == cfgetospeed(&want);
}

} // namespace

PortHandle open_port(const char *name) {
    SerialPort *entry = nullptr;
    for (SerialPort &p : port_table) {
        if (!p.in_use) {
            entry = &p;
            break;
        }
    }
    if (entry == nullptr)
        return nullptr;
    tighten_timer_slack();

    // O_NONBLOCK so that neither the open (waiting for carrier) nor any read
    // or write can block: all waiting is done by wait_for with a deadline.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
#if !DEDIZO_LINUX_WAIT
    // macOS and the BSDs: select cannot wait on a descriptor this high.
    if (fd >= FD_SETSIZE) {
        close(fd);
        return nullptr;
    }
#endif

    // Exclusive use. TIOCEXCL keeps other programs out of the tty but does not
    // stop root; the advisory lock stops any other dedizo, root or not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        flock(fd, LOCK_UN);
        close(fd);
        return nullptr;
    }
    // Something that is not a terminal (a file, a FIFO) opens; it is refused
    // by save_port_settings, where the user gets the matching message.
    entry->fd = fd;
    entry->in_use = true;
    return entry;
}

int save_port_settings(PortHandle port, PortSnapshot *snapshot) {
    std::memset(snapshot->saved, 0, sizeof snapshot->saved);
    termios t;
    std::memset(&t, 0, sizeof t);
    if (tcgetattr(port->fd, &t) != 0)
        return -1;
    std::memcpy(snapshot->saved, &t, sizeof t);
    return 0;
}

int configure_port(PortHandle port) {
    termios t;
    std::memset(&t, 0, sizeof t);
    if (tcgetattr(port->fd, &t) != 0)
        return -1;

    // 8 data bits, no parity, one stop bit; no hardware (CTS) or software
    // (XON/XOFF) flow control, no parity checking. The receiver is on and the
    // modem lines do not gate reading.
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP | IGNBRK |
                                        BRKINT | INLCR | IGNCR | ICRNL);
    // The screen paint is 8-bit data full of ESC sequences: no line editing,
    // echo, signal characters or output translation may touch it.
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B9600) != 0 || cfsetospeed(&t, B9600) != 0)
        return -1;
    if (tcsetattr(port->fd, TCSANOW, &t) != 0)
        return -1;

    // tcsetattr succeeds when any part of the request was taken; make sure
    // all of it was.
    termios check;
    std::memset(&check, 0, sizeof check);
    if (tcgetattr(port->fd, &check) != 0 || !settings_took(t, check))
        return -1;
    return 0;
}

int restore_port_settings(PortHandle port, const PortSnapshot *snapshot) {
    termios t;
    std::memcpy(&t, snapshot->saved, sizeof t);
    return tcsetattr(port->fd, TCSANOW, &t) == 0 ? 0 : -1;
}

int create_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot) {
    // Waiting needs no completion events; the slots only mark that the link is
    // ready for transfers.
    std::memset(receive_slot->state, 0, sizeof receive_slot->state);
    receive_slot->ready = true;
    std::memset(send_slot->state, 0, sizeof send_slot->state);
    send_slot->ready = true;
    return 0;
}

int close_port(PortHandle port) {
    ioctl(port->fd, TIOCNXCL);
    flock(port->fd, LOCK_UN);
    close(port->fd);
    port->fd = -1;
    port->in_use = false;
    return 0;
}

int close_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot) {
    receive_slot->ready = false;
    send_slot->ready = false;
    return 0;
}

int send_text(PortHandle port, TransferSlot *send_slot, const void *bytes, std::size_t count) {
    (void)send_slot;
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    const long long deadline = now_ns() + SEND_WAIT_MS * MS;
    while (count > 0) {
        ssize_t n = write(port->fd, p, count);
        if (n > 0) {
            p += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1; // the port has gone (EIO) or refuses output
        // The driver's output queue is full (flow control holding it back):
        // wait for room, but not for ever.
        long long left = deadline - now_ns();
        if (left <= 0)
            return -1;
        if (wait_for(port->fd, Want::write, left) == Woke::gone)
            return -1;
    }
    return 0;
}

std::size_t receive_reply(PortHandle port, TransferSlot *receive_slot, void *buffer,
                          std::size_t capacity) {
    (void)receive_slot;
    unsigned char *buf = static_cast<unsigned char *>(buffer);
    const long long deadline = now_ns() + REPLY_WAIT_MS * MS;
    std::size_t got = 0;
    long long last_byte = 0;

    for (;;) {
        if (got == capacity)
            return got;
        ssize_t n = read(port->fd, buf + got, capacity - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            last_byte = now_ns();
            continue;
        }
        if (n == 0)
            return 0; // end of file: not a live line
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return 0; // EIO and the like: the port has gone

        // Nothing to read right now. A reply is complete once the line has
        // been quiet for the gap, provided that happens within the wait; one
        // whose gap would end after the limit can only time out.
        const long long now = now_ns();
        long long wake = deadline;
        if (got > 0) {
            const long long gap_end = last_byte + REPLY_GAP_MS * MS;
            if (gap_end <= deadline) {
                if (now >= gap_end)
                    return got;
                wake = gap_end;
            }
        }
        const long long left = wake - now;
        if (left <= 0)
            return 0;
        if (wait_for(port->fd, Want::read, left) == Woke::gone)
            return 0; // hung up with nothing left to read
    }
}

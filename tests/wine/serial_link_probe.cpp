// serial_link_probe.cpp - drives the Windows serial link one command at a time.
//
// Built for Windows and run under Wine by wine_backends_test.cpp, which
// holds the other end of the line. Commands arrive on standard input, one a line;
// each is answered by exactly one line on standard output, flushed at once, so
// that the driver can time its side of the line against ours. A receive also
// announces itself with "receiving" just before it starts.
//
//   open NAME             open_port                    -> open ok | open fail
//   save | configure | events | restore | close | close_events
//                         the serial_link call         -> NAME RESULT
//   prepare               save, configure, events      -> prepare ok | prepare fail STEP
//   recv CAPACITY A|B     receive_reply into buffer A or B
//                                                       -> received COUNT MS HEX
//   buffer A|B            whether the buffer still holds only the fill byte
//                                                       -> buffer pristine | buffer touched HEX
//   send HEX              send_text                    -> sent RESULT MS
//   send_bulk COUNT       send_text of COUNT bytes     -> sent RESULT MS
//   settings              the port's DCB and COMMTIMEOUTS, read on our own
//                         handle                       -> settings FIELD=VALUE ...
//   unusual               puts the port in a deliberately odd state
//                         (19200 7E2, every flow control on, other XON/XOFF
//                         characters, odd time-outs)
//                                                       -> unusual ok | unusual fail
//   quit                  -> bye
#include "serial_link.h"
#include "serial_port_win32.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t BUFFER_SIZE = 4096;
constexpr unsigned char FILL = 0xEE;
constexpr std::size_t BULK_MAX = 4u << 20;

PortHandle port = nullptr;
PortSnapshot snapshot;
TransferSlot receive_slot;
TransferSlot send_slot;
unsigned char buffer_a[BUFFER_SIZE];
unsigned char buffer_b[BUFFER_SIZE];
unsigned char bulk[BULK_MAX];

void answer(const char *format, ...) __attribute__((format(printf, 1, 2)));

void answer(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

double now_ms() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

unsigned char *pick_buffer(const char *which) {
    return which != nullptr && which[0] == 'B' ? buffer_b : buffer_a;
}

// Hex of bytes[0 .. count) into text, which must hold 2 * count + 1.
void to_hex(const unsigned char *bytes, std::size_t count, char *text) {
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 15];
    }
    text[2 * count] = '\0';
}

std::size_t from_hex(const char *text, unsigned char *bytes, std::size_t room) {
    std::size_t count = 0;
    while (text[0] != '\0' && text[1] != '\0' && count < room) {
        char pair[3] = {text[0], text[1], '\0'};
        bytes[count++] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
        text += 2;
    }
    return count;
}

void report_settings() {
    HANDLE handle = port != nullptr ? port->handle : nullptr;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    if (handle == nullptr || !GetCommState(handle, &dcb) || !GetCommTimeouts(handle, &timeouts)) {
        answer("settings fail");
        return;
    }
    answer("settings baud=%lu bytesize=%u parity=%u stopbits=%u fParity=%u fOutxCtsFlow=%u "
           "fOutX=%u fInX=%u fOutxDsrFlow=%u fDtrControl=%u fDsrSensitivity=%u fRtsControl=%u "
           "fTXContinueOnXoff=%u fErrorChar=%u fNull=%u fAbortOnError=%u fBinary=%u "
           "XonLim=%u XoffLim=%u XonChar=%d XoffChar=%d ErrorChar=%d EofChar=%d EvtChar=%d "
           "timeouts=%lu,%lu,%lu,%lu,%lu",
           static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize, dcb.Parity, dcb.StopBits,
           dcb.fParity, dcb.fOutxCtsFlow, dcb.fOutX, dcb.fInX, dcb.fOutxDsrFlow, dcb.fDtrControl,
           dcb.fDsrSensitivity, dcb.fRtsControl, dcb.fTXContinueOnXoff, dcb.fErrorChar, dcb.fNull,
           dcb.fAbortOnError, dcb.fBinary, dcb.XonLim, dcb.XoffLim, dcb.XonChar, dcb.XoffChar,
           dcb.ErrorChar, dcb.EofChar, dcb.EvtChar,
           static_cast<unsigned long>(timeouts.ReadIntervalTimeout),
           static_cast<unsigned long>(timeouts.ReadTotalTimeoutMultiplier),
           static_cast<unsigned long>(timeouts.ReadTotalTimeoutConstant),
           static_cast<unsigned long>(timeouts.WriteTotalTimeoutMultiplier),
           static_cast<unsigned long>(timeouts.WriteTotalTimeoutConstant));
}

void make_unusual() {
    HANDLE handle = port != nullptr ? port->handle : nullptr;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (handle == nullptr || !GetCommState(handle, &dcb)) {
        answer("unusual fail");
        return;
    }
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.XonChar = 0x0E;
    dcb.XoffChar = 0x0F;
    dcb.EofChar = 0x1A;
    COMMTIMEOUTS timeouts = {7, 11, 13, 17, 19};
    if (!SetCommState(handle, &dcb) || !SetCommTimeouts(handle, &timeouts)) {
        answer("unusual fail");
        return;
    }
    answer("unusual ok");
}

void receive(const char *capacity_text, const char *which) {
    std::size_t capacity = capacity_text != nullptr ? std::strtoul(capacity_text, nullptr, 10) : 0;
    if (capacity > BUFFER_SIZE) {
        capacity = BUFFER_SIZE;
    }
    unsigned char *buffer = pick_buffer(which);
    std::memset(buffer, FILL, BUFFER_SIZE);
    answer("receiving");
    const double start = now_ms();
    const std::size_t count = receive_reply(port, &receive_slot, buffer, capacity);
    const double elapsed = now_ms() - start;
    static char hex[2 * BUFFER_SIZE + 1];
    to_hex(buffer, count <= BUFFER_SIZE ? count : BUFFER_SIZE, hex);
    answer("received %lu %.0f %s", static_cast<unsigned long>(count), elapsed, hex);
}

void check_buffer(const char *which) {
    const unsigned char *buffer = pick_buffer(which);
    for (std::size_t i = 0; i < BUFFER_SIZE; ++i) {
        if (buffer[i] != FILL) {
            char hex[33];
            to_hex(buffer, 16, hex);
            answer("buffer touched %s", hex);
            return;
        }
    }
    answer("buffer pristine");
}

void send(const unsigned char *bytes, std::size_t count) {
    const double start = now_ms();
    const int result = send_text(port, &send_slot, bytes, count);
    answer("sent %d %.0f", result, now_ms() - start);
}

void prepare() {
    if (save_port_settings(port, &snapshot) != 0) {
        answer("prepare fail save");
    } else if (configure_port(port) != 0) {
        answer("prepare fail configure");
    } else if (create_transfer_events(&receive_slot, &send_slot) != 0) {
        answer("prepare fail events");
    } else {
        answer("prepare ok");
    }
}

const char *outcome(int result) {
    return result == 0 ? "ok" : "fail";
}

} // namespace

int main() {
    char line[8192];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        char *word = std::strtok(line, " \r\n");
        char *first = std::strtok(nullptr, " \r\n");
        char *second = std::strtok(nullptr, " \r\n");
        if (word == nullptr) {
            continue;
        }
        if (std::strcmp(word, "open") == 0) {
            port = open_port(first);
            answer("open %s", port != nullptr ? "ok" : "fail");
        } else if (std::strcmp(word, "save") == 0) {
            answer("save %s", outcome(save_port_settings(port, &snapshot)));
        } else if (std::strcmp(word, "configure") == 0) {
            answer("configure %s", outcome(configure_port(port)));
        } else if (std::strcmp(word, "events") == 0) {
            answer("events %s", outcome(create_transfer_events(&receive_slot, &send_slot)));
        } else if (std::strcmp(word, "prepare") == 0) {
            prepare();
        } else if (std::strcmp(word, "restore") == 0) {
            answer("restore %s", outcome(restore_port_settings(port, &snapshot)));
        } else if (std::strcmp(word, "close") == 0) {
            answer("close %s", outcome(close_port(port)));
            port = nullptr;
        } else if (std::strcmp(word, "close_events") == 0) {
            answer("close_events %s", outcome(close_transfer_events(&receive_slot, &send_slot)));
        } else if (std::strcmp(word, "recv") == 0) {
            receive(first, second);
        } else if (std::strcmp(word, "buffer") == 0) {
            check_buffer(first);
        } else if (std::strcmp(word, "send") == 0) {
            static unsigned char bytes[4096];
            send(bytes, first != nullptr ? from_hex(first, bytes, sizeof bytes) : 0);
        } else if (std::strcmp(word, "send_bulk") == 0) {
            std::size_t count = first != nullptr ? std::strtoul(first, nullptr, 10) : 0;
            if (count > BULK_MAX) {
                count = BULK_MAX;
            }
            std::memset(bulk, 'x', count);
            send(bulk, count);
        } else if (std::strcmp(word, "settings") == 0) {
            report_settings();
        } else if (std::strcmp(word, "unusual") == 0) {
            make_unusual();
        } else if (std::strcmp(word, "quit") == 0) {
            answer("bye");
            return 0;
        } else {
            answer("unknown %s", word);
        }
    }
    return 0;
}

// qtb_sim.cpp - qtb-sim: a QTB console on a pseudo-terminal (or a TCP port).
//
// The simulator opens a pseudo-terminal and plays the device at its master
// side; a backup tool opens the slave side as it would open a serial port.
// The simulator keeps a descriptor of the slave open itself, so the terminal
// and whatever line settings the tool gave it persist while the tool opens
// and closes it, and the master never sees the end-of-file of a terminal
// nobody holds. It never sets the slave's line settings: they are the tool's
// to get right, and --settings-log shows what the device side sees.
//
// Output is paced as a UART at the chosen baud rate would deliver it, ten
// bit times per byte (start, eight data, stop), so a tool sees real line
// timing: a 500-byte screen takes about half a second at 9600 baud.
//
// The process is single-threaded. It waits with ppoll and the stop signals
// unblocked only inside that wait, so SIGTERM/SIGINT end it promptly even in
// the middle of a paced reply, and always through the same clean-up.
#include "qtb_model.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

const char HELP[] =
    "Usage: qtb-sim [options]\n"
    "\n"
    "Plays the console of a QTB on a pseudo-terminal. The first line written to\n"
    "standard output is the path of the terminal to open (or \"tcp 127.0.0.1:PORT\"\n"
    "with --tcp). Runs until SIGTERM or SIGINT.\n"
    "\n"
    "The device: a main menu (System Information, Line Statistics, Date and Time,\n"
    "Channel Configuration, Diagnostics); Channel Configuration lists channels 8\n"
    "(top) to 1 (bottom); RIGHT on a channel opens its 16-field setup screen,\n"
    "where DOWN/UP step round the fields as a ring and paint the field reached.\n"
    "LEFT backs out one level (and repaints the main menu there). Only the four\n"
    "cursor keys ESC [ A/B/C/D are answered; other bytes are logged and ignored.\n"
    "\n"
    "Line:\n"
    "  --baud N             pace replies at N baud, 10 bits per byte (default 9600;\n"
    "                       0 writes every reply at once)\n"
    "  --link PATH          also make PATH a symbolic link to the terminal\n"
    "                       (removed at exit)\n"
    "  --tcp PORT           serve on TCP 127.0.0.1:PORT instead, one connection at\n"
    "                       a time (0 picks a free port)\n"
    "\n"
    "Configuration:\n"
    "  --values FILE        load the channel settings from a QTB.CFG file\n"
    "  --dump FILE          write the QTB.CFG a correct full backup gives, then serve\n"
    "  --no-serve           with --dump: write the file and exit\n"
    "\n"
    "Logs (one line per event, flushed as written):\n"
    "  --key-log FILE       each input received: UP, DOWN, RIGHT, LEFT, or\n"
    "                       BYTES xx ... for anything else\n"
    "  --timing-log FILE    \"key NS\" when a key was read, \"reply NS BYTES\" when the\n"
    "                       last byte of its reply was written (CLOCK_MONOTONIC ns)\n"
    "  --settings-log FILE  on every key, the terminal's line settings as the\n"
    "                       device side sees them (\"unavailable\" with --tcp)\n"
    "\n"
    "Faults:\n"
    "  --silent             never answer\n"
    "  --silent-after N     answer the first N keys only\n"
    "  --locked             refuse Channel Configuration (\"Privileged access required\")\n"
    "  --wrong-label C,F    channel C (1-8), field F (0-15) paints a wrong label\n"
    "  --no-label C,F       a move onto channel C (1-8), field F (0-15) is answered\n"
    "                       with ESC [0m alone: the field's paint cut off on the line\n"
    "                       before its label\n"
    "  --drop-reply N       do not answer the Nth key (1-based; may be repeated)\n"
    "  --burst-gap MS       write every reply in two halves, MS milliseconds apart\n"
    "  --split-once N:MS    write the reply to the Nth key in two halves, MS\n"
    "                       milliseconds apart; keys count from the start, as for\n"
    "                       --drop-reply, so it happens once: a passing stall of the\n"
    "                       line that the next backup from this simulator misses\n"
    "  --hangup-after N     after answering N keys, close the terminal and exit\n"
    "  --garbage SEED       answer with reproducible garbage instead of screens\n"
    "\n"
    "Exit status: 0 when stopped by a signal or after --hangup-after or --no-serve;\n"
    "1 when the terminal or socket cannot be set up; 2 for a usage error or a\n"
    "malformed --values file.\n";

struct SimConfig {
    long baud = 9600;
    const char *values_path = nullptr;
    const char *dump_path = nullptr;
    bool no_serve = false;
    const char *key_log_path = nullptr;
    const char *timing_log_path = nullptr;
    const char *settings_log_path = nullptr;
    const char *link_path = nullptr;
    bool tcp = false;
    long tcp_port = 0;
    long burst_gap_ms = 0;
    long split_once_key = 0; // 0: none
    long split_once_ms = 0;
    long hangup_after = -1;
};

volatile sig_atomic_t stop_signal = 0;
sigset_t wait_mask; // the mask in force inside ppoll: stop signals deliverable

void on_stop_signal(int signal_number) {
    stop_signal = signal_number;
}

// Everything the serving loop touches.
struct Sim {
    SimConfig config;
    QtbModel model;
    QtbKeyScanner scanner;
    std::FILE *key_log = nullptr;
    std::FILE *timing_log = nullptr;
    std::FILE *settings_log = nullptr;
    int master = -1;
    int slave = -1;
    int listener = -1;
    int connection = -1;
    bool link_made = false;
};

[[noreturn]] void usage_error(const char *format, const char *detail) {
    std::fprintf(stderr, "qtb-sim: ");
    std::fprintf(stderr, format, detail);
    std::fprintf(stderr, "\nTry 'qtb-sim --help'.\n");
    std::exit(2);
}

long parse_number(const char *option, const char *text, long low, long high) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (text[0] == '\0' || *end != '\0' || errno != 0 || value < low || value > high) {
        usage_error("bad number for %s", option);
    }
    return value;
}

// CHANNEL,FIELD of a fault that strikes one field of one channel.
void parse_channel_field(const char *option, const char *text, int *channel, int *field) {
    int used = 0;
    if (std::sscanf(text, "%d,%d%n", channel, field, &used) != 2 || text[used] != '\0' ||
        *channel < 1 || *channel > QTB_CHANNELS || *field < 0 || *field >= QTB_FIELDS) {
        char message[128];
        std::snprintf(message, sizeof message, "%s needs CHANNEL,FIELD (1-8,0-15), not \"%.40s\"",
                      option, text);
        usage_error("%s", message);
    }
}

void parse_arguments(int argc, char **argv, SimConfig *config, QtbOptions *options) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage_error("%s needs a value", arg);
            }
            return argv[++i];
        };
        if (std::strcmp(arg, "--help") == 0) {
            std::fputs(HELP, stdout);
            std::exit(0);
        } else if (std::strcmp(arg, "--baud") == 0) {
            config->baud = parse_number(arg, value(), 0, 4000000);
        } else if (std::strcmp(arg, "--values") == 0) {
            config->values_path = value();
        } else if (std::strcmp(arg, "--dump") == 0) {
            config->dump_path = value();
        } else if (std::strcmp(arg, "--no-serve") == 0) {
            config->no_serve = true;
        } else if (std::strcmp(arg, "--key-log") == 0) {
            config->key_log_path = value();
        } else if (std::strcmp(arg, "--timing-log") == 0) {
            config->timing_log_path = value();
        } else if (std::strcmp(arg, "--settings-log") == 0) {
            config->settings_log_path = value();
        } else if (std::strcmp(arg, "--link") == 0) {
            config->link_path = value();
        } else if (std::strcmp(arg, "--tcp") == 0) {
            config->tcp = true;
            config->tcp_port = parse_number(arg, value(), 0, 65535);
        } else if (std::strcmp(arg, "--silent") == 0) {
            options->silent = true;
        } else if (std::strcmp(arg, "--silent-after") == 0) {
            options->silent_after = parse_number(arg, value(), 0, LONG_MAX);
        } else if (std::strcmp(arg, "--locked") == 0) {
            options->locked = true;
        } else if (std::strcmp(arg, "--wrong-label") == 0) {
            parse_channel_field(arg, value(), &options->wrong_label_channel,
                                &options->wrong_label_field);
        } else if (std::strcmp(arg, "--no-label") == 0) {
            parse_channel_field(arg, value(), &options->no_label_channel, &options->no_label_field);
        } else if (std::strcmp(arg, "--drop-reply") == 0) {
            if (options->drop_count == QTB_MAX_DROPS) {
                usage_error("too many %s", arg);
            }
            options->drop_reply[options->drop_count++] = parse_number(arg, value(), 1, LONG_MAX);
        } else if (std::strcmp(arg, "--burst-gap") == 0) {
            config->burst_gap_ms = parse_number(arg, value(), 0, 60000);
        } else if (std::strcmp(arg, "--split-once") == 0) {
            const char *text = value();
            char *colon = nullptr;
            char *end = nullptr;
            errno = 0;
            long key = std::strtol(text, &colon, 10);
            long gap = *colon == ':' ? std::strtol(colon + 1, &end, 10) : -1;
            if (text[0] < '0' || text[0] > '9' || *colon != ':' || colon[1] < '0' ||
                colon[1] > '9' || *end != '\0' || errno != 0 || key < 1 || gap > 60000) {
                usage_error("--split-once needs N:MS (N 1 or more, 0-60000 ms), not \"%s\"", text);
            }
            config->split_once_key = key;
            config->split_once_ms = gap;
        } else if (std::strcmp(arg, "--hangup-after") == 0) {
            config->hangup_after = parse_number(arg, value(), 0, LONG_MAX);
        } else if (std::strcmp(arg, "--garbage") == 0) {
            const char *text = value();
            char *end = nullptr;
            errno = 0;
            unsigned long long seed = std::strtoull(text, &end, 0);
            if (text[0] == '\0' || text[0] == '-' || *end != '\0' || errno != 0) {
                usage_error("bad seed for --garbage: \"%s\"", text);
            }
            options->garbage = true;
            options->garbage_seed = seed;
        } else {
            usage_error("unknown option \"%s\"", arg);
        }
    }
    if (config->no_serve && config->dump_path == nullptr) {
        usage_error("%s needs --dump", "--no-serve");
    }
    if (config->tcp && config->link_path != nullptr) {
        usage_error("%s makes no terminal to link to", "--tcp");
    }
}

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Waits on fds (may be none) for at most timeout_ns (negative: no limit) with
// the stop signals deliverable. Returns ppoll's result; -1 with EINTR when a
// signal arrived.
int wait_for(pollfd *fds, nfds_t count, long long timeout_ns) {
    timespec ts;
    timespec *limit = nullptr;
    if (timeout_ns >= 0) {
        ts.tv_sec = static_cast<time_t>(timeout_ns / 1000000000LL);
        ts.tv_nsec = static_cast<long>(timeout_ns % 1000000000LL);
        limit = &ts;
    }
    return ppoll(fds, count, limit, &wait_mask);
}

// Sleeps until the monotonic clock reaches deadline. False when a stop
// signal came first.
bool sleep_until(long long deadline) {
    for (;;) {
        if (stop_signal) {
            return false;
        }
        long long left = deadline - now_ns();
        if (left <= 0) {
            return true;
        }
        wait_for(nullptr, 0, left);
    }
}

// Writes all bytes to the non-blocking descriptor, waiting for room as
// needed. False when stopped or when the other end has gone.
bool write_all(int fd, const unsigned char *bytes, std::size_t count) {
    while (count > 0) {
        if (stop_signal) {
            return false;
        }
        ssize_t n = write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p = {fd, POLLOUT, 0};
            wait_for(&p, 1, -1);
        } else {
            return false;
        }
    }
    return true;
}

// Writes bytes as a UART at `baud` would deliver them: byte i is handed over
// when its stop bit ends, (i + 1) * 10 bit times after the start.
bool paced_write(int fd, long baud, const unsigned char *bytes, std::size_t count) {
    if (baud == 0) {
        return write_all(fd, bytes, count);
    }
    const long long byte_ns = 10000000000LL / baud;
    const long long start = now_ns();
    std::size_t sent = 0;
    while (sent < count) {
        std::size_t due = static_cast<std::size_t>((now_ns() - start) / byte_ns);
        if (due > count) {
            due = count;
        }
        if (due > sent) {
            if (!write_all(fd, bytes + sent, due - sent)) {
                return false;
            }
            sent = due;
        } else if (!sleep_until(start + static_cast<long long>(sent + 1) * byte_ns)) {
            return false;
        }
    }
    return true;
}

bool write_reply(Sim *sim, int fd, const unsigned char *bytes, std::size_t count) {
    long gap = sim->config.burst_gap_ms;
    // The key count runs on across connections and never comes back, so the
    // one split reply is the first session's (when N is within it).
    if (sim->model.keys == sim->config.split_once_key) {
        gap = sim->config.split_once_ms;
    }
    if (gap <= 0 || count < 2) {
        return paced_write(fd, sim->config.baud, bytes, count);
    }
    std::size_t half = count / 2;
    return paced_write(fd, sim->config.baud, bytes, half) &&
           sleep_until(now_ns() + gap * 1000000LL) &&
           paced_write(fd, sim->config.baud, bytes + half, count - half);
}

long speed_value(speed_t speed) {
    static const struct {
        speed_t code;
        long value;
    } speeds[] = {
        {B0, 0},
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B500000, 500000},
        {B576000, 576000},
        {B921600, 921600},
        {B1000000, 1000000},
        {B1152000, 1152000},
        {B1500000, 1500000},
        {B2000000, 2000000},
        {B2500000, 2500000},
        {B3000000, 3000000},
        {B3500000, 3500000},
        {B4000000, 4000000},
    };
    for (const auto &s : speeds) {
        if (s.code == speed) {
            return s.value;
        }
    }
    return -1;
}

void log_settings(Sim *sim) {
    std::FILE *log = sim->settings_log;
    if (log == nullptr) {
        return;
    }
    termios t;
    if (sim->master < 0 || tcgetattr(sim->master, &t) != 0) {
        std::fprintf(log, "unavailable\n");
        std::fflush(log);
        return;
    }
    int csize = 8;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        csize = 5;
        break;
    case CS6:
        csize = 6;
        break;
    case CS7:
        csize = 7;
        break;
    default:
        csize = 8;
        break;
    }
    auto on = [](tcflag_t flags, tcflag_t bit) { return (flags & bit) != 0 ? 1 : 0; };
    std::fprintf(log,
                 "ispeed=%ld ospeed=%ld csize=%d parenb=%d cstopb=%d crtscts=%d ixon=%d "
                 "ixoff=%d icanon=%d echo=%d isig=%d opost=%d icrnl=%d cread=%d clocal=%d\n",
                 speed_value(cfgetispeed(&t)), speed_value(cfgetospeed(&t)), csize,
                 on(t.c_cflag, PARENB), on(t.c_cflag, CSTOPB), on(t.c_cflag, CRTSCTS),
                 on(t.c_iflag, IXON), on(t.c_iflag, IXOFF), on(t.c_lflag, ICANON),
                 on(t.c_lflag, ECHO), on(t.c_lflag, ISIG), on(t.c_oflag, OPOST),
                 on(t.c_iflag, ICRNL), on(t.c_cflag, CREAD), on(t.c_cflag, CLOCAL));
    std::fflush(log);
}

void close_logs(Sim *sim) {
    std::FILE **logs[] = {&sim->key_log, &sim->timing_log, &sim->settings_log};
    for (std::FILE **log : logs) {
        if (*log != nullptr) {
            std::fclose(*log);
            *log = nullptr;
        }
    }
}

// Releases everything and ends the process.
[[noreturn]] void finish(Sim *sim, int status) {
    int fds[] = {sim->connection, sim->listener, sim->master, sim->slave};
    for (int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (sim->link_made) {
        unlink(sim->config.link_path);
    }
    close_logs(sim);
    std::exit(status);
}

enum UnitOutcome { UNIT_DONE, UNIT_LINE_GONE, UNIT_HANGUP };

// One unit of input: log it, let the device answer, apply the line faults.
UnitOutcome handle_unit(Sim *sim, int fd, const QtbInputUnit *unit, long long read_ns) {
    if (sim->key_log != nullptr) {
        char name[32];
        qtb_unit_name(unit, name, sizeof name);
        std::fprintf(sim->key_log, "%s\n", name);
        std::fflush(sim->key_log);
    }
    if (qtb_classify(unit->bytes, unit->count) == QTB_KEY_NONE) {
        return UNIT_DONE; // the device ignores it
    }
    if (sim->timing_log != nullptr) {
        std::fprintf(sim->timing_log, "key %lld\n", read_ns);
        std::fflush(sim->timing_log);
    }
    log_settings(sim);
    static unsigned char reply[QTB_REPLY_MAX];
    std::size_t length = qtb_model_key(&sim->model, unit->bytes, unit->count, reply, sizeof reply);
    long hangup_after = sim->config.hangup_after;
    if (hangup_after == 0) {
        return UNIT_HANGUP;
    }
    if (length > 0) {
        if (!write_reply(sim, fd, reply, length)) {
            return UNIT_LINE_GONE;
        }
        if (sim->timing_log != nullptr) {
            std::fprintf(sim->timing_log, "reply %lld %zu\n", now_ns(), length);
            std::fflush(sim->timing_log);
        }
    }
    if (hangup_after > 0 && sim->model.keys >= hangup_after) {
        return UNIT_HANGUP;
    }
    return UNIT_DONE;
}

// How long a partial escape sequence may wait for its remaining bytes before
// it is taken as it stands (a terminal sends a key's bytes back to back).
constexpr long long PARTIAL_KEY_NS = 200LL * 1000000LL;

// Serves input arriving on fd until the other end goes away (returns) or the
// device hangs up / a stop signal arrives (finishes the process).
void serve(Sim *sim, int fd) {
    qtb_scanner_init(&sim->scanner);
    long long partial_since = 0;
    for (;;) {
        if (stop_signal) {
            finish(sim, 0);
        }
        long long timeout = -1;
        if (sim->scanner.count > 0) {
            timeout = partial_since + PARTIAL_KEY_NS - now_ns();
            if (timeout < 0) {
                timeout = 0;
            }
        }
        pollfd p = {fd, POLLIN, 0};
        int ready = wait_for(&p, 1, timeout);
        if (ready < 0) {
            continue; // a signal; checked above
        }
        QtbInputUnit units[2];
        UnitOutcome outcome = UNIT_DONE;
        if (ready == 0) {
            if (qtb_scanner_flush(&sim->scanner, &units[0]) == 1) {
                outcome = handle_unit(sim, fd, &units[0], now_ns());
            }
        } else {
            unsigned char input[256];
            ssize_t n = read(fd, input, sizeof input);
            long long read_ns = now_ns();
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return; // the other end has gone
            }
            for (ssize_t i = 0; i < n && outcome == UNIT_DONE; ++i) {
                bool was_idle = sim->scanner.count == 0;
                int made = qtb_scanner_feed(&sim->scanner, input[i], units);
                for (int u = 0; u < made && outcome == UNIT_DONE; ++u) {
                    outcome = handle_unit(sim, fd, &units[u], read_ns);
                }
                if (sim->scanner.count > 0 && (was_idle || made > 0)) {
                    partial_since = read_ns;
                }
            }
        }
        if (outcome == UNIT_HANGUP) {
            finish(sim, 0);
        }
        if (outcome == UNIT_LINE_GONE) {
            if (stop_signal) {
                finish(sim, 0);
            }
            return;
        }
    }
}

bool write_dump(Sim *sim) {
    static char text[QTB_BACKUP_MAX];
    std::size_t length = qtb_backup_text(&sim->model, text, sizeof text);
    std::FILE *file = std::fopen(sim->config.dump_path, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "qtb-sim: %s: %s\n", sim->config.dump_path, std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(text, 1, length, file) == length;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "qtb-sim: %s: write failed\n", sim->config.dump_path);
    }
    return ok;
}

std::FILE *open_log(Sim *sim, const char *path) {
    if (path == nullptr) {
        return nullptr;
    }
    std::FILE *log = std::fopen(path, "w");
    if (log == nullptr) {
        std::fprintf(stderr, "qtb-sim: %s: %s\n", path, std::strerror(errno));
        finish(sim, 1);
    }
    return log;
}

void install_signals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    // Blocked except inside ppoll, so a signal can never slip in between the
    // check of stop_signal and the wait.
    sigprocmask(SIG_BLOCK, &stops, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGHUP);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

[[noreturn]] void run_pty(Sim *sim) {
    sim->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (sim->master < 0 || grantpt(sim->master) != 0 || unlockpt(sim->master) != 0) {
        std::fprintf(stderr, "qtb-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        finish(sim, 1);
    }
    const char *slave_path = ptsname(sim->master);
    if (slave_path == nullptr) {
        std::fprintf(stderr, "qtb-sim: ptsname: %s\n", std::strerror(errno));
        finish(sim, 1);
    }
    char path[256];
    std::snprintf(path, sizeof path, "%s", slave_path);
    sim->slave = open(path, O_RDWR | O_NOCTTY);
    if (sim->slave < 0) {
        std::fprintf(stderr, "qtb-sim: %s: %s\n", path, std::strerror(errno));
        finish(sim, 1);
    }
    fcntl(sim->master, F_SETFL, fcntl(sim->master, F_GETFL) | O_NONBLOCK);
    if (sim->config.link_path != nullptr) {
        struct stat st;
        if (lstat(sim->config.link_path, &st) == 0 && S_ISLNK(st.st_mode)) {
            unlink(sim->config.link_path);
        }
        if (symlink(path, sim->config.link_path) != 0) {
            std::fprintf(stderr, "qtb-sim: cannot link %s: %s\n", sim->config.link_path,
                         std::strerror(errno));
            finish(sim, 1);
        }
        sim->link_made = true;
    }
    std::printf("%s\n", path);
    std::fflush(stdout);
    for (;;) {
        // With our own slave descriptor open the master never reads end of
        // file; serve returns only on a hard error, which is not expected.
        serve(sim, sim->master);
        if (!sleep_until(now_ns() + 100000000LL)) {
            finish(sim, 0);
        }
    }
}

[[noreturn]] void run_tcp(Sim *sim) {
    sim->listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(sim->config.tcp_port));
    socklen_t size = sizeof address;
    if (sim->listener < 0 ||
        setsockopt(sim->listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(sim->listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(sim->listener, 4) != 0 ||
        getsockname(sim->listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        std::fprintf(stderr, "qtb-sim: cannot listen on 127.0.0.1:%ld: %s\n", sim->config.tcp_port,
                     std::strerror(errno));
        finish(sim, 1);
    }
    std::printf("tcp 127.0.0.1:%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    std::fflush(stdout);
    for (;;) {
        pollfd p = {sim->listener, POLLIN, 0};
        if (stop_signal) {
            finish(sim, 0);
        }
        if (wait_for(&p, 1, -1) <= 0) {
            continue;
        }
        sim->connection = accept(sim->listener, nullptr, nullptr);
        if (sim->connection < 0) {
            continue;
        }
        fcntl(sim->connection, F_SETFL, fcntl(sim->connection, F_GETFL) | O_NONBLOCK);
        serve(sim, sim->connection);
        close(sim->connection);
        sim->connection = -1;
    }
}

} // namespace

int main(int argc, char **argv) {
    static Sim sim;
    static QtbOptions options;
    qtb_default_options(&options);
    parse_arguments(argc, argv, &sim.config, &options);
    if (sim.config.values_path != nullptr) {
        char error[512];
        if (qtb_load_values(sim.config.values_path, &options.values, error, sizeof error) != 0) {
            std::fprintf(stderr, "qtb-sim: %s\n", error);
            return 2;
        }
    }
    qtb_model_init(&sim.model, &options);
    if (sim.config.dump_path != nullptr && !write_dump(&sim)) {
        return 1;
    }
    if (sim.config.no_serve) {
        return 0;
    }
    install_signals();
    sim.key_log = open_log(&sim, sim.config.key_log_path);
    sim.timing_log = open_log(&sim, sim.config.timing_log_path);
    sim.settings_log = open_log(&sim, sim.config.settings_log_path);
    if (sim.config.tcp) {
        run_tcp(&sim);
    }
    run_pty(&sim);
}

// reliability_checks.cpp - see reliability_checks.h.
#include "reliability_checks.h"

#include "qtb_model.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

const char OLD_BACKUP[] = "previous backup of this QTB, kept until a complete one replaces it\r\n";

namespace {

constexpr int BLOCK_LINES = 1 + QTB_FIELDS + 2; // header, fields, closing, empty
const char CLOSING[] = "********************************************************";
const char BANNER_END[] = "QTB.CFG ==\n\n\n";

// Every way the tool may end a run with a device at the far end, each with
// the short name the soak counts it under.
struct Ending {
    const char *message;
    const char *outcome;
};
const Ending ENDINGS[] = {
    {"File QTB.CFG created\n\r", "backup written"},
    {"Error, no communication with QTB.\n\r", "no communication"},
    {"QTB is locked, can not read the configuration.\n\rPlease unlock the QTB and try again.\n\r",
     "locked"},
    {"Error, the configuration does not fit in the backup buffer, QTB.CFG not written.\n\r",
     "backup too large"},
};
const char WRONG_LABEL[] = "Error when reading configuration, expecting ";

std::string header_line(int channel) {
    char line[80];
    std::snprintf(line, sizeof line, "**************** CHANNEL %d CONFIGURATION ***************",
                  channel);
    return line;
}

bool starts_with(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &s, const std::string &suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The short name of a message the tool ends a run with; "" for any other text.
std::string outcome_of(const std::string &message) {
    for (const Ending &e : ENDINGS) {
        if (message == e.message)
            return e.outcome;
    }
    if (starts_with(message, WRONG_LABEL) && ends_with(message, "\n\r")) {
        std::string label = message.substr(sizeof WRONG_LABEL - 1);
        label.resize(label.size() - 2);
        // Channel Type included: its label is not compared, but a paint
        // that holds no label at all ends the run on it.
        for (int f = 0; f < QTB_FIELDS; ++f) {
            if (label == qtb_field_labels[f])
                return "wrong label";
        }
    }
    return "";
}

std::string printable(const std::string &s, std::size_t limit = 200) {
    std::string r;
    for (std::size_t i = 0; i < s.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            r += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            r += hex;
        }
    }
    if (s.size() > limit)
        r += "...";
    return r;
}

} // namespace

std::string directory_with_old_backup() {
    std::string dir = make_temp_dir();
    if (dir.empty())
        return dir;
    std::FILE *f = std::fopen((dir + "/QTB.CFG").c_str(), "wb");
    if (f == nullptr)
        return "";
    std::fputs(OLD_BACKUP, f);
    std::fclose(f);
    return dir;
}

std::vector<std::string> files_in(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void remove_directory(const std::string &dir) {
    if (dir.empty())
        return;
    for (const std::string &n : files_in(dir))
        unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}

std::string backup_structure_error(const std::string &text) {
    if (text.find('\x1b') != std::string::npos)
        return "an ESC byte in the backup";
    if (text.find('\0') != std::string::npos)
        return "a NUL byte in the backup";
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            return "text after the last CR LF: \"" + printable(text.substr(at)) + "\"";
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    if (lines.size() != static_cast<std::size_t>(QTB_CHANNELS * BLOCK_LINES))
        return std::to_string(lines.size()) + " lines, not " +
               std::to_string(QTB_CHANNELS * BLOCK_LINES);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find_first_of("\r\n") != std::string::npos)
            return "line " + std::to_string(i + 1) + " holds a lone CR or LF";
    }
    for (int c = 1; c <= QTB_CHANNELS; ++c) {
        const std::size_t first = static_cast<std::size_t>((c - 1) * BLOCK_LINES);
        auto where = [&](std::size_t k) {
            return "line " + std::to_string(first + k + 1) + " (channel " + std::to_string(c) +
                   "): \"" + printable(lines[first + k]) + "\"";
        };
        if (lines[first] != header_line(c))
            return where(0) + " is not the channel's header";
        for (int f = 0; f < QTB_FIELDS; ++f) {
            const std::string &line = lines[first + 1 + static_cast<std::size_t>(f)];
            bool good = f == 0 ? line.find(" = ") != std::string::npos
                               : starts_with(line, std::string(qtb_field_labels[f]) + " = ");
            if (!good)
                return where(1 + static_cast<std::size_t>(f)) + " is not the line of field " +
                       qtb_field_labels[f];
        }
        if (lines[first + 1 + QTB_FIELDS] != CLOSING)
            return where(1 + QTB_FIELDS) + " is not the closing line";
        if (!lines[first + 2 + QTB_FIELDS].empty())
            return where(2 + QTB_FIELDS) + " is not empty";
    }
    return "";
}

std::string hold_port(const std::string &path, HeldPort *port) {
    port->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->fd < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    termios t;
    if (tcgetattr(port->fd, &t) != 0)
        return "tcgetattr " + path + ": " + std::strerror(errno);
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | HUPCL;
    t.c_iflag = IXON | IXOFF | ICRNL | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ISIG | IEXTEN; // no echo: late bytes must not go back to the device
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    if (tcsetattr(port->fd, TCSANOW, &t) != 0)
        return "tcsetattr " + path + ": " + std::strerror(errno);
    if (tcgetattr(port->fd, &port->found) != 0)
        return "tcgetattr " + path + ": " + std::strerror(errno);
    return "";
}

std::string port_settings_change(const HeldPort &port) {
    termios now;
    if (tcgetattr(port.fd, &now) != 0)
        return std::string("the port's settings cannot be read: ") + std::strerror(errno);
    const termios &was = port.found;
    std::string change;
    auto flags = [&change](const char *name, tcflag_t before, tcflag_t after) {
        if (before != after) {
            char text[96];
            std::snprintf(text, sizeof text, "%s %#o -> %#o; ", name, before, after);
            change += text;
        }
    };
    flags("c_iflag", was.c_iflag, now.c_iflag);
    flags("c_oflag", was.c_oflag, now.c_oflag);
    flags("c_cflag", was.c_cflag, now.c_cflag);
    flags("c_lflag", was.c_lflag, now.c_lflag);
    if (cfgetispeed(&was) != cfgetispeed(&now) || cfgetospeed(&was) != cfgetospeed(&now))
        change += "speed; ";
    if (std::memcmp(was.c_cc, now.c_cc, sizeof was.c_cc) != 0)
        change += "control characters; ";
    return change;
}

void release_port(HeldPort *port) {
    if (port->fd >= 0)
        close(port->fd);
    port->fd = -1;
}

double children_cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string closing_message(const std::string &out) {
    std::size_t at = out.find(BANNER_END);
    if (at == std::string::npos)
        return out;
    std::string rest = out.substr(at + sizeof BANNER_END - 1);
    for (int c = 1; c <= QTB_CHANNELS; ++c) {
        const std::string line = "Retrieving channel " + std::to_string(c) + " configuration\n\r";
        if (starts_with(rest, line))
            rest.erase(0, line.size());
    }
    return rest;
}

GarbageRun run_garbage_seed(const std::string &dedizo, std::uint64_t seed) {
    GarbageRun run;
    std::string dir = directory_with_old_backup();
    if (dir.empty()) {
        run.failure = "no test directory";
        return run;
    }
    SimProcess sim;
    std::string error;
    if (!start_sim(&sim, {"--baud", "0", "--garbage", std::to_string(seed)}, &error)) {
        run.failure = "qtb-sim did not start: " + error;
        remove_directory(dir);
        return run;
    }
    HeldPort port;
    error = hold_port(sim.first_line, &port);
    if (!error.empty()) {
        run.failure = error;
        release_port(&port);
        stop_sim(&sim);
        remove_directory(dir);
        return run;
    }

    RunOptions options;
    options.cwd = dir;
    // The longest run a babbling line can make: every receive of the script
    // waiting its whole second. Far more than any seed takes.
    options.timeout_ms = 330000;
    const double cpu_before = children_cpu_seconds();
    RunResult r = run_program(dedizo, {sim.first_line}, options);
    run.cpu_seconds = children_cpu_seconds() - cpu_before;
    run.elapsed_ms = r.elapsed_ms;
    const std::string settings = port_settings_change(port);
    release_port(&port);
    stop_sim(&sim);

    const std::string message = closing_message(r.out);
    for (std::size_t at = r.out.find("Retrieving channel "); at != std::string::npos;
         at = r.out.find("Retrieving channel ", at + 1))
        ++run.channels;
    run.outcome = outcome_of(message);
    const std::string file = read_file(dir + "/QTB.CFG");
    const std::vector<std::string> files = files_in(dir);
    remove_directory(dir);

    std::string &f = run.failure;
    if (!r.started)
        f = "dedizo could not be run";
    else if (r.timed_out)
        f = "did not end within " + std::to_string(options.timeout_ms / 1000) + " s";
    else if (r.term_signal != 0)
        f = "killed by signal " + std::to_string(r.term_signal);
    else if (r.exit_code != 0)
        f = "exit status " + std::to_string(r.exit_code);
    else if (!r.err.empty())
        f = "standard error: " + printable(r.err, 2000);
    else if (run.outcome.empty())
        f = "unexpected output after the banner: \"" + printable(message) + "\"";
    else if (!settings.empty())
        f = "port settings not put back: " + settings;
    else if (files != std::vector<std::string>{"QTB.CFG"})
        f = std::to_string(files.size()) + " files in the directory, not just QTB.CFG";
    else if (run.outcome == "backup written") {
        std::string wrong = backup_structure_error(file);
        if (!wrong.empty())
            f = "QTB.CFG is not a complete backup: " + wrong;
    } else if (file != OLD_BACKUP) {
        f = "QTB.CFG changed by a run that ended with \"" + run.outcome + "\"";
    }
    run.ok = f.empty();
    return run;
}

// wine_dedizo_test.cpp - dedizo.exe, the whole tool, run under Wine.
//
// The runs of the native end-to-end tests (tests/e2e_test.cpp), made with
// the Windows build on the Win32 API: each test starts qtb-sim on a
// pseudo-terminal, makes COM5 (and COM12) of the Wine prefix that terminal,
// and runs `dedizo.exe COM5:` in a scratch directory of its own. It then
// looks at what a user and the device would see: the console output, the
// exit status, QTB.CFG, the keys the device received (qtb-sim's key log), and
// the line settings, read on the terminal from the Linux side.
//
// The receive's timing on this API (50 ms quiet ends a reply, 1,000 ms
// bound, a timed-out read cancelled before the next) is measured in detail by
// wine_backends_test.cpp; here it is checked by what it means for a backup:
// replies in bursts 30 ms apart still give a correct backup, 80 ms apart do
// not, and a device that stays silent is given up on after a second.
//
// On Windows, standard output is a text stream: every "\n" the tool writes
// reaches the console, or a pipe, as CR LF. So "\n\r" arrives as CR LF CR.
#include "sim_process.h"
#include "sim_script.h"
#include "wine_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The COM names the tests map onto the simulator's terminal. COM12 is above
// COM9, which Windows names only in the \\.\ form.
const char *const SIM_COM_NUMBERS[] = {"5", "12"};
const std::string COM5 = "COM5:";
const std::string COM12 = "\\\\.\\COM12";

// What text the tool writes becomes on its Windows standard output.
std::string windows_text(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

const std::string NO_COMMUNICATION = "Error, no communication with QTB.\n\r";
const std::string OLD_BACKUP = "the last good backup\r\n";

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void write_file(const std::string &path, const std::string &bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// The settings some other program left on the port: 19200 baud, two stop
// bits, RTS/CTS and XON/XOFF with unusual XON/XOFF characters, and a cooked,
// echoing terminal. (Linux keeps a pseudo-terminal at 8 bits without parity
// whatever is asked, so size and parity cannot be varied here.)
void set_odd_settings(int fd) {
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_cflag |= CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    t.c_lflag |= ICANON | ECHO;
    t.c_oflag |= OPOST;
    t.c_cc[VSTART] = 0x0E;
    t.c_cc[VSTOP] = 0x0F;
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

// The part of a terminal's settings that a Windows program reads and sets
// through the port's DCB, which Wine maps onto termios: speed, character
// size, parity, stop bits, RTS/CTS and XON/XOFF flow control and the XON/XOFF
// characters. The rest of termios (canonical mode, echo, output processing,
// VMIN/VTIME) has no DCB field; Wine makes the line raw on every
// SetCommState, so those flags cannot come back as a Linux program left them.
// On Windows the DCB and COMMTIMEOUTS are the port's whole state.
std::string dcb_view(const termios &t) {
    std::ostringstream s;
    s << "ispeed=" << cfgetispeed(&t) << " ospeed=" << cfgetospeed(&t)
      << " csize=" << (t.c_cflag & CSIZE) << " parenb=" << !!(t.c_cflag & PARENB)
      << " parodd=" << !!(t.c_cflag & PARODD) << " cstopb=" << !!(t.c_cflag & CSTOPB)
      << " crtscts=" << !!(t.c_cflag & CRTSCTS) << " ixon=" << !!(t.c_iflag & IXON)
      << " ixoff=" << !!(t.c_iflag & IXOFF) << " vstart=" << int(t.c_cc[VSTART])
      << " vstop=" << int(t.c_cc[VSTOP]);
    return s.str();
}

// The termios-only flags, for the record.
std::string raw_view(const termios &t) {
    std::ostringstream s;
    s << "icanon=" << !!(t.c_lflag & ICANON) << " echo=" << !!(t.c_lflag & ECHO)
      << " opost=" << !!(t.c_oflag & OPOST) << " icrnl=" << !!(t.c_iflag & ICRNL)
      << " clocal=" << !!(t.c_cflag & CLOCAL) << " vmin=" << int(t.c_cc[VMIN])
      << " vtime=" << int(t.c_cc[VTIME]);
    return s.str();
}

// The QTB.CFG a correct full backup of the simulator's factory settings gives.
const std::string &factory_backup() {
    static std::string text;
    if (text.empty()) {
        const std::string dir = make_temp_dir();
        const std::string file = dir + "/factory.cfg";
        RunResult dump = run_program(qtb_sim_path(), {"--dump", file, "--no-serve"});
        EXPECT_EQ(dump.exit_code, 0) << dump.err;
        text = read_file(file);
        std::filesystem::remove_all(dir);
    }
    return text;
}

class WineDedizo : public testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_WINE();
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name) {
            c = c == '/' ? '-' : c;
        }
        // Scratch space in the build tree, kept after the run for a look.
        dir_ = std::filesystem::current_path() / "dedizo-runs" / name;
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "work");
        work_ = (dir_ / "work").string();
    }

    void TearDown() override {
        stop_sim(&sim_);
    }

    // Starts qtb-sim with the arguments, maps the COM ports onto its
    // terminal and leaves the port as another program might have.
    void start_device(std::vector<std::string> args) {
        key_log_ = (dir_ / "keys.log").string();
        settings_log_ = (dir_ / "settings.log").string();
        args.insert(args.end(),
                    {"--baud", "0", "--key-log", key_log_, "--settings-log", settings_log_});
        std::string error;
        ASSERT_TRUE(start_sim(&sim_, args, &error)) << error;
        port_ = sim_.first_line;
        for (const char *number : SIM_COM_NUMBERS) {
            ASSERT_EQ(run_env_script({"map-com", wine.prefix, number, port_}), 0);
        }
        const int fd = open(port_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        set_odd_settings(fd);
        ASSERT_EQ(tcgetattr(fd, &before_), 0);
        close(fd);
    }

    WindowsRun run(const std::string &com_name, WindowsRunOptions options = WindowsRunOptions()) {
        options.cwd = work_;
        WindowsRun r = run_windows_program("dedizo.exe", {com_name}, options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.exited) << "ended by signal " << r.term_signal;
        return r;
    }

    termios port_now() {
        termios now{};
        const int fd = open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0) << "the port is not free again";
        if (fd >= 0) {
            EXPECT_EQ(tcgetattr(fd, &now), 0);
            close(fd);
        }
        return now;
    }

    void expect_port_as_found() {
        EXPECT_EQ(dcb_view(port_now()), dcb_view(before_));
    }

    std::vector<std::string> keys() {
        return lines_of(read_file(key_log_));
    }

    void put_old_backup() {
        write_file(work_ + "/QTB.CFG", OLD_BACKUP);
    }

    std::string backup() {
        return read_file(work_ + "/QTB.CFG");
    }

    // Nothing but QTB.CFG (if that) in the work directory: no temporary
    // file is left behind.
    void expect_only_the_backup_in_work() {
        for (const auto &entry : std::filesystem::directory_iterator(work_)) {
            EXPECT_EQ(entry.path().filename(), "QTB.CFG");
        }
    }

    SimProcess sim_;
    std::filesystem::path dir_;
    std::string work_, port_, key_log_, settings_log_;
    termios before_{};
};

// Runs that write a backup: the file must be exactly what the device holds.
struct Complete {
    const char *name;
    std::vector<std::string> sim_args;
    bool replay; // load values with 8-bit bytes into the device first
};
void PrintTo(const Complete &c, std::ostream *os) {
    *os << c.name;
}

class WineCompleteBackup : public WineDedizo, public testing::WithParamInterface<Complete> {};

TEST_P(WineCompleteBackup, WritesWhatTheDeviceHoldsAndPutsThePortBack) {
    const Complete &c = GetParam();
    std::string expected = factory_backup();
    ASSERT_FALSE(expected.empty());
    std::vector<std::string> args = c.sim_args;
    if (c.replay) {
        // A device whose values came from an earlier backup, with bytes
        // beyond ASCII and trailing spaces: the new backup must reproduce
        // that file byte for byte.
        const std::string from = "Sync Pattern = ";
        const std::size_t at = expected.find(from);
        ASSERT_NE(at, std::string::npos);
        expected.insert(at + from.size(), "\xb0\xb1 changed  ");
        const std::string values = (dir_ / "replay.cfg").string();
        write_file(values, expected);
        args.insert(args.end(), {"--values", values});
    }
    start_device(args);
    put_old_backup();

    const WindowsRun r = run(COM5);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(windows_text("QTB Configuration Backup Tool\n")), std::string::npos)
        << r.out;
    const std::size_t progress = r.out.find("Retrieving");
    ASSERT_NE(progress, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(progress), windows_text(progress_lines(8) + "File QTB.CFG created\n\r"));
    EXPECT_EQ(backup(), expected);
    expect_only_the_backup_in_work();
    EXPECT_EQ(keys().size(), 306u);

    // On the line during the run, as the device saw it.
    const std::vector<std::string> settings = lines_of(read_file(settings_log_));
    ASSERT_FALSE(settings.empty());
    for (const char *want : {"ispeed=9600", "ospeed=9600", "csize=8", "parenb=0", "cstopb=0",
                             "crtscts=0", "ixon=0", "ixoff=0"}) {
        EXPECT_NE(settings[0].find(want), std::string::npos) << want << " not in " << settings[0];
    }
    const termios after = port_now();
    EXPECT_EQ(dcb_view(after), dcb_view(before_));
    std::printf("measured: %s took %ld ms under Wine\n", c.name, r.elapsed_ms);
    if (c.replay) {
        std::printf("measured: termios-only flags before the run: %s\n", raw_view(before_).c_str());
        std::printf("measured: termios-only flags after the run:  %s\n", raw_view(after).c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Device, WineCompleteBackup,
    testing::Values(Complete{"replayed_values", {}, true},
                    // Each reply in two halves 30 ms apart: under the 50 ms that ends a
                    // reply, so each still arrives whole.
                    Complete{"replies_in_bursts_30_ms_apart", {"--burst-gap", "30"}, false}),
    [](const testing::TestParamInfo<Complete> &info) { return std::string(info.param.name); });

// Runs that end early: the message, the keys sent, the old backup kept.
struct Early {
    const char *name;
    std::vector<std::string> sim_args;
    std::string com_name;
    std::string out_tail; // as the tool writes it; compared as Windows delivers it
    std::size_t keys;
    long min_ms, max_ms;
};
void PrintTo(const Early &c, std::ostream *os) {
    *os << c.name;
}

class WineEarlyEnd : public WineDedizo, public testing::WithParamInterface<Early> {};

TEST_P(WineEarlyEnd, KeepsTheOldBackupAndThePort) {
    const Early &e = GetParam();
    start_device(e.sim_args);
    put_old_backup();
    const WindowsRun r = run(e.com_name);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(ends_with(r.out, windows_text(e.out_tail))) << r.out;
    EXPECT_EQ(keys().size(), e.keys);
    EXPECT_GE(r.elapsed_ms, e.min_ms);
    EXPECT_LE(r.elapsed_ms, e.max_ms);
    EXPECT_EQ(backup(), OLD_BACKUP);
    expect_only_the_backup_in_work();
    expect_port_as_found();
}

INSTANTIATE_TEST_SUITE_P(
    Device, WineEarlyEnd,
    testing::Values(
        // One key, one second of silence, and out.
        Early{"silent", {"--silent"}, COM5, "\n\n\n" + NO_COMMUNICATION, 1, 900, 10000},
        Early{"silent_at_the_tenth_probe",
              {"--silent-after", "9"},
              COM5,
              "\n\n\n" + NO_COMMUNICATION,
              10,
              900,
              15000},
        Early{"locked_on_a_port_above_com9",
              {"--locked"},
              COM12,
              "\n\n\nQTB is locked, can not read the configuration.\n\rPlease unlock the QTB and "
              "try again.\n\r",
              22,
              0,
              20000},
        Early{"wrong_label_at_channel_3_field_7",
              {"--wrong-label", "3,7"},
              COM5,
              progress_lines(3) +
                  "Error when reading configuration, expecting Strip/Insert Bit\n\r",
              124,
              0,
              40000},
        // The reply to the fifth KEY_UP of channel 1, a field that is
        // parsed, never comes: the run ends there rather than write an empty
        // line into the backup.
        Early{"a_field_reply_lost",
              {"--drop-reply", "55"},
              COM5,
              progress_lines(1) + NO_COMMUNICATION,
              55,
              1000,
              40000},
        // Each reply in two halves 80 ms apart: every half counts as a
        // reply of its own, the screens and the receives fall out of step,
        // and the first label checked is wrong.
        Early{"replies_in_bursts_80_ms_apart",
              {"--burst-gap", "80"},
              COM5,
              progress_lines(1) + "Error when reading configuration, expecting BitEncoding\n\r",
              50,
              0,
              40000}),
    [](const testing::TestParamInfo<Early> &info) { return std::string(info.param.name); });

// Ctrl-C: Wine turns SIGINT into the console's CTRL_C_EVENT for the handler
// that dedizo installs with SetConsoleCtrlHandler.
TEST_F(WineDedizo, InterruptStopsBeforeTheNextKeyAndRestoresThePort) {
    start_device({});
    put_old_backup();
    WindowsRunOptions o;
    o.signal = SIGINT;
    o.signal_when = [this] { return keys().size() >= 60; };
    const WindowsRun r = run(COM5, o);
    EXPECT_TRUE(r.signal_sent);
    EXPECT_EQ(r.exit_code, 130);
    EXPECT_TRUE(ends_with(r.out, windows_text("Interrupted, QTB.CFG not written.\n\r"))) << r.out;
    EXPECT_LT(keys().size(), 306u);
    EXPECT_EQ(backup(), OLD_BACKUP);
    expect_only_the_backup_in_work();
    expect_port_as_found();
}

TEST_F(WineDedizo, NamesThatAreNotPortsFailWith255) {
    // COM9 is the serial-link tests' port: take it away so that nothing of
    // that name exists.
    ASSERT_EQ(run_env_script({"unmap-com", wine.prefix, "9"}), 0);
    write_file(work_ + "/NOTAPORT.TXT", "text\r\n");
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{}, "Usage: DEDIZO [COM1: | COM2:]\n\r"},
        {{"COM9:", "second"}, "Unable to open commport: COM9:\n\r"},
        {{"NOTAPORT.TXT"}, "Unable to retrieve port configuration of : NOTAPORT.TXT\n\r"},
    };
    for (const Case &c : cases) {
        WindowsRunOptions o;
        o.cwd = work_;
        o.timeout_ms = 30000;
        const WindowsRun r = run_windows_program("dedizo.exe", c.args, o);
        EXPECT_TRUE(r.exited);
        // -1 from main: Linux sees the low byte.
        EXPECT_EQ(r.exit_code, 255) << c.out;
        EXPECT_EQ(r.out, windows_text(c.out));
    }
    EXPECT_EQ(read_file(work_ + "/QTB.CFG"), "");
}

} // namespace

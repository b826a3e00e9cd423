// dedizo as a user runs it: a separate process on the pseudo-terminal of a
// separate qtb-sim, unpaced so that only the line's reply gap sets the pace.
#include "sim_process.h"
#include "sim_script.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string DEDIZO = DEDIZO_PATH;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

// The settings some other program left on the port: 19200 7E1 with RTS/CTS
// and XON/XOFF, cooked, echoing. A run must hand exactly these back.
termios odd_settings(int fd) {
    termios t;
    tcgetattr(fd, &t);
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    t.c_lflag |= ICANON | ECHO;
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    return t;
}

bool same_settings(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

class EndToEnd : public ::testing::Test {
  protected:
    void start(std::vector<std::string> args) {
        dir = make_temp_dir();
        key_log = dir + "/keys.log";
        settings_log = dir + "/settings.log";
        args.insert(args.end(),
                    {"--baud", "0", "--key-log", key_log, "--settings-log", settings_log});
        std::string error;
        ASSERT_TRUE(start_sim(&sim, args, &error)) << error;
        port = sim.first_line;
        work = dir + "/work";
        ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
        // Leave the port as another program might have.
        int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t = odd_settings(fd);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        ASSERT_EQ(tcgetattr(fd, &before), 0);
        close(fd);
    }
    void TearDown() override {
        stop_sim(&sim);
    }
    RunResult run(RunOptions options = RunOptions()) {
        options.cwd = work;
        RunResult r = run_program(DEDIZO, {port}, options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
    void expect_port_as_found() {
        int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << "the port is not free again";
        termios after;
        ASSERT_EQ(tcgetattr(fd, &after), 0);
        close(fd);
        EXPECT_TRUE(same_settings(before, after));
    }
    std::vector<std::string> keys() {
        return lines_of(read_file(key_log));
    }
    void put_old_backup() {
        FILE *f = fopen((work + "/QTB.CFG").c_str(), "wb");
        fputs("the last good backup\r\n", f);
        fclose(f);
    }
    std::string backup() {
        return read_file(work + "/QTB.CFG");
    }

    SimProcess sim;
    std::string dir, work, port, key_log, settings_log;
    termios before;
};

TEST_F(EndToEnd, FullBackupReplaysTheDeviceExactly) {
    // A device whose values came from an earlier backup: the new backup must
    // reproduce that file byte for byte.
    const std::string seed_dir = make_temp_dir();
    const std::string factory = seed_dir + "/factory.cfg";
    RunResult dump = run_program(qtb_sim_path(), {"--dump", factory, "--no-serve"});
    ASSERT_EQ(dump.exit_code, 0) << dump.err;
    std::string values = read_file(factory);
    const std::string from = "Sync Pattern = ";
    std::size_t at = values.find(from);
    ASSERT_NE(at, std::string::npos);
    values.insert(at + from.size(), "\xb0\xb1 changed  ");
    const std::string replay = seed_dir + "/replay.cfg";
    FILE *f = fopen(replay.c_str(), "wb");
    fwrite(values.data(), 1, values.size(), f);
    fclose(f);

    start({"--values", replay});
    put_old_backup();
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("QTB Configuration Backup Tool"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.find("Retrieving")),
              progress_lines(8) + "File QTB.CFG created\n\r");
    EXPECT_EQ(backup(), values);

    const std::vector<std::string> k = keys();
    ASSERT_EQ(k.size(), 306u);
    EXPECT_EQ(std::vector<std::string>(k.begin(), k.begin() + 33),
              (std::vector<std::string>{"LEFT",  "LEFT", "LEFT", "LEFT", "LEFT", "LEFT", "LEFT",
                                        "LEFT",  "LEFT", "LEFT", "DOWN", "DOWN", "DOWN", "DOWN",
                                        "DOWN",  "DOWN", "DOWN", "DOWN", "DOWN", "DOWN", "UP",
                                        "RIGHT", "DOWN", "DOWN", "DOWN", "DOWN", "DOWN", "DOWN",
                                        "DOWN",  "DOWN", "DOWN", "DOWN", "RIGHT"}));

    // On the line during the run, as the device saw it.
    const std::string seen = lines_of(read_file(settings_log)).at(0);
    for (const char *want : {"ispeed=9600", "ospeed=9600", "csize=8", "parenb=0", "cstopb=0",
                             "crtscts=0", "ixon=0", "ixoff=0", "icanon=0", "echo=0", "opost=0"})
        EXPECT_NE(seen.find(want), std::string::npos) << want << " not in " << seen;
    expect_port_as_found();
}

// Runs that end early: the message, the keys sent, the old backup kept.
struct Early {
    const char *name;
    std::vector<std::string> sim_args;
    std::string out_tail;
    std::size_t keys;
    long min_ms, max_ms;
};
void PrintTo(const Early &c, std::ostream *os) {
    *os << c.name;
}

class EarlyEnd : public EndToEnd, public ::testing::WithParamInterface<Early> {};

TEST_P(EarlyEnd, KeepsTheOldBackupAndThePort) {
    const Early &e = GetParam();
    start(e.sim_args);
    put_old_backup();
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0);
    ASSERT_GE(r.out.size(), e.out_tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - e.out_tail.size()), e.out_tail);
    EXPECT_EQ(keys().size(), e.keys);
    EXPECT_GE(r.elapsed_ms, e.min_ms);
    EXPECT_LE(r.elapsed_ms, e.max_ms);
    EXPECT_EQ(backup(), "the last good backup\r\n");
    expect_port_as_found();
}

const std::string NO_COMMUNICATION = "Error, no communication with QTB.\n\r";

INSTANTIATE_TEST_SUITE_P(
    Device, EarlyEnd,
    ::testing::Values(
        // One key, one second of silence, and out.
        Early{"silent", {"--silent"}, "\n\n\n" + NO_COMMUNICATION, 1, 900, 5000},
        Early{"silent_at_the_tenth_probe",
              {"--silent-after", "9"},
              "\n\n\n" + NO_COMMUNICATION,
              10,
              900,
              8000},
        Early{"locked",
              {"--locked"},
              "\n\n\nQTB is locked, can not read the configuration.\n\rPlease unlock the QTB and "
              "try again.\n\r",
              22,
              0,
              10000},
        Early{"wrong_label_at_channel_3_field_7",
              {"--wrong-label", "3,7"},
              progress_lines(3) +
                  "Error when reading configuration, expecting Strip/Insert Bit\n\r",
              124,
              0,
              40000},
        // Channel 2's Channel Type painted without its label: no line of the
        // backup is made of it, the run ends on that field.
        Early{"no_label_at_channel_2_field_0",
              {"--no-label", "2,0"},
              progress_lines(2) + "Error when reading configuration, expecting Channel Type\n\r",
              83,
              0,
              40000},
        // Answers the opening, then nothing: the first field read finds no
        // reply and the run ends there instead of writing empty lines.
        Early{"stops_answering_after_the_opening",
              {"--silent-after", "32"},
              progress_lines(1) + NO_COMMUNICATION,
              49,
              15000,
              40000}),
    [](const ::testing::TestParamInfo<Early> &info) { return std::string(info.param.name); });

TEST_F(EndToEnd, InterruptStopsBeforeTheNextKeyAndRestoresThePort) {
    start({});
    put_old_backup();
    RunOptions o;
    o.signal = SIGINT;
    o.signal_when = [this] { return keys().size() >= 60; };
    RunResult r = run(o);
    EXPECT_TRUE(r.signal_sent);
    EXPECT_EQ(r.exit_code, 130);
    EXPECT_NE(r.out.find("Interrupted, QTB.CFG not written.\n\r"), std::string::npos);
    const std::size_t sent = keys().size();
    EXPECT_LT(sent, 306u);
    EXPECT_EQ(backup(), "the last good backup\r\n");
    expect_port_as_found();
}

TEST(CommandLine, NamesThatAreNotPortsFailWith255) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::string fifo_dir = make_temp_dir();
    const std::string fifo = fifo_dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<Case> cases = {
        {{}, "Usage: DEDIZO [COM1: | COM2:]\n\r"},
        {{"/dev/does-not-exist", "second"}, "Unable to open commport: /dev/does-not-exist\n\r"},
        {{"COM1:"}, "Unable to open commport: COM1:\n\r"},
        {{"/"}, "Unable to open commport: /\n\r"},
        {{"/dev/null"}, "Unable to retrieve port configuration of : /dev/null\n\r"},
        {{fifo}, "Unable to retrieve port configuration of : " + fifo + "\n\r"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv;
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunOptions o;
        o.cwd = fifo_dir;
        o.timeout_ms = 10000;
        RunResult r = run_program(DEDIZO, argv, o);
        EXPECT_EQ(r.exit_code, 255) << c.out;
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(read_file(fifo_dir + "/QTB.CFG"), "");
}

TEST(CommandLine, PortAlreadyInUseIsRefused) {
    SimProcess sim;
    ASSERT_TRUE(start_sim(&sim, {"--baud", "0"}));
    // Another dedizo holding the port holds it like this.
    int holder = open(sim.first_line.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    RunOptions o;
    o.cwd = make_temp_dir();
    o.timeout_ms = 10000;
    RunResult r = run_program(DEDIZO, {sim.first_line}, o);
    close(holder);
    stop_sim(&sim);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "Unable to open commport: " + sim.first_line + "\n\r");
}

} // namespace

// reliability_test.cpp - dedizo as a process against a line that misbehaves:
// a port that vanishes mid-run, a device that babbles, a QTB reached through
// a console server on the network, a memory checker watching a whole backup,
// and port names that are not port names.
//
// Every run must end by itself, promptly and without burning the CPU; QTB.CFG
// must be the old file or a complete new backup; and a port that still exists
// must get its settings back.
#include "reliability_checks.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char DEDIZO[] = DEDIZO_PATH;
const char CREATED[] = "File QTB.CFG created\n\r";
const char NO_COMMUNICATION[] = "Error, no communication with QTB.\n\r";
const char NOT_RESTORED[] = "Unable to restore port configuration of : ";

long long monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The QTB.CFG a correct full backup of qtb-sim's factory device gives.
std::string expected_backup(const std::string &dir) {
    const std::string path = dir + "/expected.cfg";
    RunResult r = run_program(qtb_sim_path(), {"--dump", path, "--no-serve"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string text = read_file(path);
    unlink(path.c_str());
    return text;
}

// The timestamp (CLOCK_MONOTONIC ns) on the last line of qtb-sim's timing
// log: when the device handled its last key, or wrote the last reply.
long long last_logged_ns(const std::string &timing_log) {
    std::string text = read_file(timing_log);
    std::size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos)
        return 0;
    std::size_t start = text.rfind('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    long long ns = 0;
    std::sscanf(text.c_str() + start, "%*s %lld", &ns);
    return ns;
}

// ---------------------------------------------------------------------------
// The port vanishes mid-run.
//
// qtb-sim --hangup-after N answers N keys and then closes the pseudo-terminal
// and exits, as a USB-serial adapter pulled from its socket does. On Linux the
// tool's descriptor of the slave is hung up at that moment: read returns 0 (end
// of file) at once, write and every terminal ioctl fail with EIO, and the
// /dev/pts entry disappears. So the receives that follow end at once, the
// next field that does not come ends the dialogue, and the settings cannot be
// written back to a terminal that no longer exists.

struct HangupCase {
    const char *name;
    long keys_answered;
    bool backup_complete; // every field paint had come before the line went
};

void PrintTo(const HangupCase &c, std::ostream *os) {
    *os << c.name;
}

class PortVanishes : public testing::TestWithParam<HangupCase> {};

TEST_P(PortVanishes, EndsAtOnceKeepsTheOldBackupAndSaysThePortIsGone) {
    const HangupCase &c = GetParam();
    const std::string line_dir = make_temp_dir();
    const std::string work = directory_with_old_backup();
    ASSERT_FALSE(line_dir.empty());
    ASSERT_FALSE(work.empty());
    const std::string expected = expected_backup(line_dir);
    // The port's name reaches printf as an argument, never as the format.
    const std::string link = line_dir + "/ttyQTB%s%n";
    const std::string timing_log = line_dir + "/timing.log";

    SimProcess sim;
    std::string error;
    ASSERT_TRUE(start_sim(&sim,
                          {"--baud", "0", "--hangup-after", std::to_string(c.keys_answered),
                           "--link", link, "--timing-log", timing_log},
                          &error))
        << error;
    RunOptions options;
    options.cwd = work;
    options.timeout_ms = 120000;
    const double cpu_before = children_cpu_seconds();
    RunResult r = run_program(DEDIZO, {link}, options);
    const long long ended_ns = monotonic_ns();
    const double cpu = children_cpu_seconds() - cpu_before;
    EXPECT_EQ(wait_sim(&sim, 5000), 0) << "qtb-sim did not hang up by itself";
    stop_sim(&sim);

    ASSERT_TRUE(r.started);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "");
    const std::string ending = c.backup_complete ? CREATED : NO_COMMUNICATION;
    EXPECT_EQ(closing_message(r.out), ending + NOT_RESTORED + link + "\n\r");

    const long long hung_up_ns = last_logged_ns(timing_log);
    ASSERT_GT(hung_up_ns, 0) << "no timing log from qtb-sim";
    EXPECT_LT(ended_ns - hung_up_ns, 5000000000LL) << "did not end within 5 s of the hang-up";
    // A receive that spun on the dead descriptor would use up its whole
    // second of CPU; the whole run needs a small fraction of that.
    EXPECT_LT(cpu, 1.0) << "CPU seconds used by the run";

    EXPECT_EQ(files_in(work), std::vector<std::string>{"QTB.CFG"});
    EXPECT_EQ(read_file(work + "/QTB.CFG"), c.backup_complete ? expected : OLD_BACKUP);
    remove_directory(work);
    remove_directory(line_dir);
}

// A full run is 306 keys: the opening's 32 (10 probing LEFTs first), then 34
// per channel, whose 17th to 32nd replies are the field paints, then two
// LEFTs. The last field paint answers key 302. The reply to the key the device
// hangs up after may or may not be read before the hang-up, so no case sits
// on the last field's key.
INSTANTIATE_TEST_SUITE_P(
    AfterSomeKeys, PortVanishes,
    testing::Values(HangupCase{"AtTheFirstProbe", 0, false}, HangupCase{"MidProbe", 4, false},
                    HangupCase{"MidOpening", 15, false}, HangupCase{"AtTheLockCheck", 22, false},
                    HangupCase{"MidChannel1Fields", 55, false},
                    HangupCase{"MidChannel4", 150, false},
                    HangupCase{"AfterTheLastField", 303, true}),
    [](const testing::TestParamInfo<HangupCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A babbling device.
//
// qtb-sim --garbage SEED answers keys with reproducible noise: nothing, NUL
// runs, ESC storms, random bytes (up to 3,000, written at once so that more
// than a receive holds is queued ahead of the next reply), plausible paints
// of the wrong field or under a wrong label, and now and then the real
// screen. The seeds are the soak's first thirty: about half end in the
// probe or on a field paint that never came ("no communication"), the rest in
// channel 1 on a paint that is not the field expected ("wrong label"; most of
// them at Channel Type, on noise that holds no label piece), which is as far
// as noise gets past the label checks. scripts/soak.sh runs as many as
// wanted.

class BabblingDevice : public testing::TestWithParam<int> {};

TEST_P(BabblingDevice, RunEndsCleanly) {
    GarbageRun run = run_garbage_seed(DEDIZO, static_cast<std::uint64_t>(GetParam()));
    EXPECT_TRUE(run.ok) << run.failure;
    EXPECT_LT(run.cpu_seconds, 2.0);
    std::printf("seed %d: %s after %ld ms, %.2f s CPU, channels entered %d\n", GetParam(),
                run.outcome.c_str(), run.elapsed_ms, run.cpu_seconds, run.channels);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BabblingDevice, testing::Range(1, 31));

// The soak's judge of a new QTB.CFG: a real backup passes, anything cut short
// or carrying screen bytes does not.
TEST(BackupStructure, OnlyACompleteBackupPasses) {
    const std::string dir = make_temp_dir();
    const std::string good = expected_backup(dir);
    remove_directory(dir);
    ASSERT_FALSE(good.empty());
    EXPECT_EQ(backup_structure_error(good), "");

    // A field line left empty: a paint that held no field must have ended
    // the run, never reached a backup.
    std::string blank_field = good;
    const std::size_t at = blank_field.find("BitOrder = ");
    blank_field.erase(at, blank_field.find("\r\n", at) - at);

    const std::size_t block = good.find("**************** CHANNEL 8");
    const std::string bad[] = {
        blank_field,
        good.substr(0, good.size() - 2),
        good.substr(0, block),
        good + "\r\n",
        "\r\n" + good,
        std::string(good).replace(good.find(" = "), 0, "\x1b[K"),
        std::string(good).replace(good.find("Sync Length"), 4, "Sinc"),
        std::string(good).replace(good.find("CHANNEL 2"), 9, "CHANNEL 3"),
        std::string(good).insert(block, std::string("x\0y\r\n", 5)),
    };
    for (const std::string &text : bad)
        EXPECT_NE(backup_structure_error(text), "") << text.size() << " bytes";
}

// ---------------------------------------------------------------------------
// Console servers.
//
// Many QTBs are reached through a console server: the serial line ends in a
// box on the network that offers it as a TCP port. With no network code in
// the tool, the user links a local pseudo-terminal to that port with socat
// and gives dedizo the terminal. qtb-sim --tcp plays the console server here.

#ifdef SOCAT_PATH
struct Socat {
    pid_t pid = -1;
};

// socat PTY,link=LINK,raw,echo=0 TCP:127.0.0.1:PORT, as the README tells
// users; waits (at most 10 s) until the link to the terminal is there.
bool start_socat(Socat *s, const std::string &link, int port, const std::string &log) {
    const std::string pty = "PTY,link=" + link + ",raw,echo=0";
    const std::string tcp = "TCP:127.0.0.1:" + std::to_string(port);
    std::vector<std::string> args = {SOCAT_PATH, pty, tcp};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    s->pid = fork();
    if (s->pid == 0) {
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        if (in >= 0)
            dup2(in, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (s->pid < 0)
        return false;
    for (int waited = 0; waited < 10000; waited += 10) {
        struct stat st;
        if (stat(link.c_str(), &st) == 0)
            return true;
        usleep(10000);
    }
    return false;
}

// Ends socat if it is still there; true when it had ended by itself within
// wait_ms.
bool stop_socat(Socat *s, int wait_ms) {
    if (s->pid <= 0)
        return true;
    int status = 0;
    for (int waited = 0; waited < wait_ms; waited += 10) {
        if (waitpid(s->pid, &status, WNOHANG) == s->pid) {
            s->pid = -1;
            return true;
        }
        usleep(10000);
    }
    kill(s->pid, SIGTERM);
    waitpid(s->pid, &status, 0);
    s->pid = -1;
    return false;
}
#endif

TEST(ConsoleServer, FullBackupThroughSocatIsByteExact) {
#ifndef SOCAT_PATH
    GTEST_SKIP() << "socat is not installed";
#else
    const std::string line_dir = make_temp_dir();
    const std::string work = directory_with_old_backup();
    const std::string expected = expected_backup(line_dir);
    // The console server's line runs at 9600 baud like the QTB's own port.
    SimProcess sim;
    std::string error;
    ASSERT_TRUE(start_sim(&sim, {"--tcp", "0", "--baud", "9600"}, &error)) << error;
    const std::string link = line_dir + "/ttyQTB";
    Socat socat;
    ASSERT_TRUE(start_socat(&socat, link, sim_tcp_port(&sim), line_dir + "/socat.log"))
        << read_file(line_dir + "/socat.log");
    HeldPort port;
    ASSERT_EQ(hold_port(link, &port), "");

    RunOptions options;
    options.cwd = work;
    options.timeout_ms = 240000;
    RunResult r = run_program(DEDIZO, {link}, options);
    const std::string settings = port_settings_change(port);
    release_port(&port);
    stop_socat(&socat, 0);
    stop_sim(&sim);

    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(closing_message(r.out), CREATED);
    EXPECT_EQ(settings, "") << "the pseudo-terminal's settings were not put back";
    EXPECT_EQ(read_file(work + "/QTB.CFG"), expected);
    EXPECT_EQ(files_in(work), std::vector<std::string>{"QTB.CFG"});
    remove_directory(work);
    remove_directory(line_dir);
#endif
}

// The network connection drops mid-run (the console server restarts, a cable
// is pulled): socat sees the end of the TCP stream, closes the terminal and
// exits, and for dedizo that is a port that vanished.
TEST(ConsoleServer, ConnectionLostMidRunIsAPortThatVanished) {
#ifndef SOCAT_PATH
    GTEST_SKIP() << "socat is not installed";
#else
    const std::string line_dir = make_temp_dir();
    const std::string work = directory_with_old_backup();
    SimProcess sim;
    std::string error;
    ASSERT_TRUE(start_sim(&sim, {"--tcp", "0", "--baud", "0", "--hangup-after", "40"}, &error))
        << error;
    const std::string link = line_dir + "/ttyQTB";
    Socat socat;
    ASSERT_TRUE(start_socat(&socat, link, sim_tcp_port(&sim), line_dir + "/socat.log"))
        << read_file(line_dir + "/socat.log");

    RunOptions options;
    options.cwd = work;
    options.timeout_ms = 120000;
    const double cpu_before = children_cpu_seconds();
    RunResult r = run_program(DEDIZO, {link}, options);
    const double cpu = children_cpu_seconds() - cpu_before;
    EXPECT_TRUE(stop_socat(&socat, 5000)) << "socat did not end with the connection";
    stop_sim(&sim);

    ASSERT_FALSE(r.timed_out);
    EXPECT_LT(r.elapsed_ms, 30000);
    EXPECT_LT(cpu, 1.0);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(closing_message(r.out), std::string(NO_COMMUNICATION) + NOT_RESTORED + link + "\n\r");
    EXPECT_EQ(read_file(work + "/QTB.CFG"), OLD_BACKUP);
    EXPECT_EQ(files_in(work), std::vector<std::string>{"QTB.CFG"});
    remove_directory(work);
    remove_directory(line_dir);
#endif
}

// ---------------------------------------------------------------------------
// Memory: one full backup under valgrind's memcheck, no error and no leak.
// (Not in the sanitizer build, whose instrumentation valgrind cannot run.)

#ifdef DEDIZO_MEMCHECK
TEST(Memory, FullBackupUnderValgrindIsClean) {
#ifndef VALGRIND_PATH
    GTEST_SKIP() << "valgrind is not installed";
#else
    const std::string work = directory_with_old_backup();
    const std::string expected = expected_backup(work);
    SimProcess sim;
    std::string error;
    ASSERT_TRUE(start_sim(&sim, {"--baud", "0"}, &error)) << error;
    HeldPort port;
    ASSERT_EQ(hold_port(sim.first_line, &port), "");

    RunOptions options;
    options.cwd = work;
    options.timeout_ms = 300000;
    RunResult r = run_program(VALGRIND_PATH,
                              {"--error-exitcode=99", "--leak-check=full",
                               "--errors-for-leak-kinds=definite,indirect",
                               "--show-leak-kinds=definite,indirect", DEDIZO, sim.first_line},
                              options);
    const std::string settings = port_settings_change(port);
    release_port(&port);
    stop_sim(&sim);

    // valgrind's report, for the test log.
    std::printf("%s", r.err.c_str());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << "99 is valgrind's: errors or leaks";
    EXPECT_NE(r.err.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos);
    EXPECT_EQ(closing_message(r.out), CREATED);
    EXPECT_EQ(read_file(work + "/QTB.CFG"), expected);
    EXPECT_EQ(settings, "");
    remove_directory(work);
#endif
}
#endif

// ---------------------------------------------------------------------------
// Abuse of the command line: whatever the first argument is, the tool gives
// the message of the step that refused it, with the name exactly as typed,
// exits 255 (-1), and touches nothing.

struct NameCase {
    const char *name;
    const char *message;
    // Makes the thing to name inside dir and returns the name.
    std::string (*make)(const std::string &dir);
};

void PrintTo(const NameCase &c, std::ostream *os) {
    *os << c.name;
}

const char CANNOT_OPEN[] = "Unable to open commport: ";
const char NOT_A_PORT[] = "Unable to retrieve port configuration of : ";
const char FILE_CONTENT[] = "an ordinary file, not a port\n";

std::string make_long_name(const std::string &dir) {
    std::string name = dir + "/";
    name.append(10000 - name.size(), 'x');
    return name;
}

std::string make_format_name(const std::string &dir) {
    return dir + "/COM%s%n%d%p%n%%%99999s:";
}

std::string make_format_file(const std::string &dir) {
    const std::string name = dir + "/port%n%s%x";
    std::FILE *f = std::fopen(name.c_str(), "wb");
    std::fputs(FILE_CONTENT, f);
    std::fclose(f);
    return name;
}

std::string make_directory(const std::string &dir) {
    const std::string name = dir + "/ttyS0";
    mkdir(name.c_str(), 0755);
    return name;
}

std::string make_fifo(const std::string &dir) {
    const std::string name = dir + "/fifo%n";
    mkfifo(name.c_str(), 0644);
    return name;
}

std::string dev_null(const std::string &) {
    return "/dev/null";
}

std::string empty_name(const std::string &) {
    return "";
}

class PortName : public testing::TestWithParam<NameCase> {};

TEST_P(PortName, IsRefusedWithItsMessageAndNothingIsTouched) {
    const NameCase &c = GetParam();
    const std::string things = make_temp_dir();
    const std::string work = make_temp_dir();
    const std::string name = c.make(things);
    const std::vector<std::string> things_before = files_in(things);
    // Whatever is written into the FIFO stays there for this reader to see.
    int fifo_reader = -1;
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        fifo_reader = open(name.c_str(), O_RDONLY | O_NONBLOCK);

    RunOptions options;
    options.cwd = work;
    options.timeout_ms = 20000;
    RunResult r = run_program(DEDIZO, {name, "second-word-ignored"}, options);

    ASSERT_TRUE(r.started);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, c.message + name + "\n\r");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(files_in(work).empty()) << "a file was left in the working directory";
    EXPECT_EQ(files_in(things), things_before);
    if (fifo_reader >= 0) {
        char byte;
        ssize_t n = read(fifo_reader, &byte, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == EAGAIN)) << "bytes were written into the FIFO";
        close(fifo_reader);
    }
    if (name.find("port%n") != std::string::npos) {
        EXPECT_EQ(read_file(name), FILE_CONTENT);
    }
    for (const std::string &n : files_in(things))
        rmdir((things + "/" + n).c_str());
    remove_directory(things);
    remove_directory(work);
}

INSTANTIATE_TEST_SUITE_P(
    NotAPort, PortName,
    testing::Values(NameCase{"TenThousandCharacters", CANNOT_OPEN, make_long_name},
                    NameCase{"FormatDirectivesNoSuchPort", CANNOT_OPEN, make_format_name},
                    NameCase{"FormatDirectivesOrdinaryFile", NOT_A_PORT, make_format_file},
                    NameCase{"Directory", CANNOT_OPEN, make_directory},
                    NameCase{"Fifo", NOT_A_PORT, make_fifo},
                    NameCase{"DevNull", NOT_A_PORT, dev_null},
                    NameCase{"Empty", CANNOT_OPEN, empty_name}),
    [](const testing::TestParamInfo<NameCase> &info) { return std::string(info.param.name); });

} // namespace

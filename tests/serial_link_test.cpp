// The serial link on a pseudo-terminal: line settings, exclusivity, and the
// timing that decides where one reply ends. The test plays the device on the
// master side; the link under test holds the slave as its port.
#include "serial_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Prints how long something took, for reading (the checks have wide bounds).
void print_time(const std::string &what, Clock::time_point start, Clock::time_point end) {
    std::printf("[ timing   ] %s: %.3f ms\n", what.c_str(),
                std::chrono::duration<double, std::milli>(end - start).count());
}

class Link : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        path = ptsname(master);
        // Hold the slave open, as the far end of a real line stays powered:
        // the tty and its settings persist across the link's own opens.
        keeper = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(keeper, 0);
    }
    void TearDown() override {
        if (writer.joinable())
            writer.join();
        if (port != nullptr) {
            close_transfer_events(&rx, &tx);
            close_port(port);
        }
        if (keeper >= 0)
            close(keeper);
        if (master >= 0)
            close(master);
    }
    void open_configured() {
        port = open_port(path.c_str());
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(save_port_settings(port, &snapshot), 0);
        ASSERT_EQ(configure_port(port), 0);
        ASSERT_EQ(create_transfer_events(&rx, &tx), 0);
    }
    // The device's side: write each burst at its time, counted from now.
    struct Burst {
        int at_ms;
        std::string bytes;
    };
    void play(std::vector<Burst> bursts) {
        const Clock::time_point start = Clock::now();
        writer = std::thread([this, bursts, start] {
            for (const Burst &b : bursts) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(b.at_ms));
                ASSERT_EQ(write(master, b.bytes.data(), b.bytes.size()),
                          static_cast<ssize_t>(b.bytes.size()));
            }
        });
    }
    std::string receive(std::size_t capacity = 2048) {
        std::vector<char> buf(capacity);
        std::size_t n = receive_reply(port, &rx, buf.data(), capacity);
        return std::string(buf.data(), n);
    }

    int master = -1;
    int keeper = -1;
    std::string path;
    PortHandle port = nullptr;
    PortSnapshot snapshot;
    TransferSlot rx{};
    TransferSlot tx{};
    std::thread writer;
};

TEST_F(Link, ConfiguresTheLineAndPutsTheOldSettingsBack) {
    // A port left by some other program at 19200 7E2, RTS/CTS and XON/XOFF on,
    // in cooked mode with echo.
    termios old;
    ASSERT_EQ(tcgetattr(keeper, &old), 0);
    old.c_cflag = (old.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    old.c_iflag |= IXON | IXOFF | INPCK | ICRNL;
    old.c_lflag |= ICANON | ECHO | ISIG;
    old.c_oflag |= OPOST;
    cfsetispeed(&old, B19200);
    cfsetospeed(&old, B19200);
    ASSERT_EQ(tcsetattr(keeper, TCSANOW, &old), 0);
    ASSERT_EQ(tcgetattr(keeper, &old), 0);

    open_configured();
    termios now;
    ASSERT_EQ(tcgetattr(keeper, &now), 0);
    EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B9600));
    EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(now.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(now.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(now.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(now.c_oflag & OPOST, 0u);

    // 8-bit transparent both ways: CR, LF, XON/XOFF, ^C and 0xFF pass as they are.
    const std::string raw("\r\n\x11\x13\x03\xff\x1b[D", 9);
    play({{0, raw}});
    EXPECT_EQ(receive(), raw);
    ASSERT_EQ(send_text(port, &tx, raw.data(), raw.size()), 0);
    char echo[16];
    EXPECT_EQ(read(master, echo, sizeof echo), static_cast<ssize_t>(raw.size()));
    EXPECT_EQ(std::string(echo, raw.size()), raw);

    ASSERT_EQ(restore_port_settings(port, &snapshot), 0);
    termios after;
    ASSERT_EQ(tcgetattr(keeper, &after), 0);
    EXPECT_EQ(after.c_iflag, old.c_iflag);
    EXPECT_EQ(after.c_oflag, old.c_oflag);
    EXPECT_EQ(after.c_cflag, old.c_cflag);
    EXPECT_EQ(after.c_lflag, old.c_lflag);
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&old));
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&old));
    EXPECT_EQ(std::memcmp(after.c_cc, old.c_cc, sizeof old.c_cc), 0);
}

TEST_F(Link, PortIsExclusive) {
    open_configured();
    EXPECT_EQ(open_port(path.c_str()), nullptr); // even for root
    close_transfer_events(&rx, &tx);
    close_port(port);
    port = nullptr;
    PortHandle again = open_port(path.c_str());
    ASSERT_NE(again, nullptr);
    close_port(again);
}

TEST(LinkNames, WhatIsNotASerialPort) {
    EXPECT_EQ(open_port("/nonexistent/ttyS99"), nullptr);
    EXPECT_EQ(open_port("/"), nullptr);
    PortHandle null_device = open_port("/dev/null");
    ASSERT_NE(null_device, nullptr);
    PortSnapshot s;
    EXPECT_EQ(save_port_settings(null_device, &s), -1);
    close_port(null_device);
}

// Where replies end: a table of device timings and what successive receives
// deliver. Bounds are generous; precise figures belong to the benchmark.
struct TimingCase {
    const char *name;
    std::vector<std::pair<int, std::string>> bursts; // (ms from start, bytes)
    std::vector<std::string> receives;               // what each receive returns
    long min_ms, max_ms;                             // how long the first receive takes
};
void PrintTo(const TimingCase &c, std::ostream *os) {
    *os << c.name;
}

class ReplyTiming : public Link, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(ReplyTiming, Receives) {
    const TimingCase &c = GetParam();
    open_configured();
    std::vector<Burst> bursts;
    for (const auto &b : c.bursts)
        bursts.push_back({b.first, b.second});
    const Clock::time_point start = Clock::now();
    play(bursts);
    std::vector<std::string> got;
    got.push_back(receive());
    const long first_ms = ms_since(start);
    print_time(std::string(c.name) + ", first receive", start, Clock::now());
    for (std::size_t i = 1; i < c.receives.size(); ++i)
        got.push_back(receive());
    EXPECT_EQ(got, c.receives);
    EXPECT_GE(first_ms, c.min_ms);
    EXPECT_LE(first_ms, c.max_ms);
}

const std::string TRICKLE = [] {
    std::string s;
    for (int i = 0; i < 75; ++i)
        s += static_cast<char>('a' + i % 26);
    return s;
}();

std::vector<std::pair<int, std::string>> trickle() {
    // One byte every 20 ms for 1.5 s: never 50 ms of quiet within the limit.
    std::vector<std::pair<int, std::string>> b;
    for (int i = 0; i < 75; ++i)
        b.push_back({i * 20, TRICKLE.substr(static_cast<std::size_t>(i), 1)});
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Line, ReplyTiming,
    ::testing::Values(
        TimingCase{"silence_gives_nothing_after_a_second", {}, {""}, 950, 2000},
        TimingCase{"one_burst_ends_after_the_gap", {{0, "menu"}}, {"menu"}, 45, 600},
        TimingCase{
            "bursts_30ms_apart_merge", {{0, "first"}, {30, "second"}}, {"firstsecond"}, 75, 700},
        TimingCase{"bursts_80ms_apart_split",
                   {{0, "first"}, {80, "second"}},
                   {"first", "second"},
                   45,
                   600},
        TimingCase{"reply_starting_too_late_gives_nothing", {{980, "late"}}, {""}, 950, 2000},
        TimingCase{"reply_too_long_to_end_in_time_gives_nothing", trickle(), {""}, 950, 2000}),
    [](const ::testing::TestParamInfo<TimingCase> &info) { return std::string(info.param.name); });

TEST_F(Link, FullCapacityReturnsAtOnceAndTheRestWaits) {
    open_configured();
    const std::string queued(3000, 'q');
    ASSERT_EQ(write(master, queued.data(), queued.size()), 3000);
    // Let the pty move the bytes to the slave's input queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(receive(2048).size(), 2048u);
    const Clock::time_point full = Clock::now();
    EXPECT_LT(ms_since(start), 40);
    EXPECT_EQ(receive(2048).size(), 952u);
    print_time("3000 queued, first 2048", start, full);
    print_time("3000 queued, the other 952", full, Clock::now());
}

TEST_F(Link, AGonePortEndsReceivesAndSendsAtOnce) {
    open_configured();
    close(master);
    master = -1;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(receive(), "");
    const Clock::time_point received = Clock::now();
    EXPECT_EQ(send_text(port, &tx, "\x1b[D", 3), -1);
    EXPECT_LT(ms_since(start), 500);
    print_time("hung up, receive", start, received);
    print_time("hung up, send", received, Clock::now());
}

// The hang-up comes while a receive waits: it ends then, not at the limit.
TEST_F(Link, AHangUpDuringAReceiveEndsItAtOnce) {
    open_configured();
    const Clock::time_point start = Clock::now();
    writer = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(master);
    });
    EXPECT_EQ(receive(), "");
    writer.join();
    master = -1;
    EXPECT_LT(ms_since(start), 500);
    print_time("hang-up 200 ms into a receive, receive", start, Clock::now());
}

// A wait with select (LINK_WAIT_BELOW_FD_SETSIZE: macOS, the BSDs, the
// portable build) only takes descriptors below FD_SETSIZE, so a port that would
// open above it is refused at the open, not found broken mid-run; Linux's
// wait takes any descriptor, and the port works there.
TEST_F(Link, ADescriptorAboveFdSetsize) {
    rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
    rlimit limit = old_limit;
    const rlim_t need = FD_SETSIZE + 16;
    if (limit.rlim_cur < need) {
        if (limit.rlim_max < need)
            GTEST_SKIP() << "the descriptor limit is too low to reach FD_SETSIZE";
        limit.rlim_cur = need;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    // Take every free descriptor below FD_SETSIZE: the port's open gets FD_SETSIZE.
    std::vector<int> fillers;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        if (fd >= FD_SETSIZE) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    PortHandle high = open_port(path.c_str());
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old_limit);
#ifndef LINK_WAIT_BELOW_FD_SETSIZE
    ASSERT_NE(high, nullptr);
    port = high;
    ASSERT_EQ(save_port_settings(port, &snapshot), 0);
    ASSERT_EQ(configure_port(port), 0);
    ASSERT_EQ(create_transfer_events(&rx, &tx), 0);
    play({{0, "menu"}});
    EXPECT_EQ(receive(), "menu");
#else
    EXPECT_EQ(high, nullptr);
    // Refused before it was locked: the port opens as soon as a low descriptor is free.
    open_configured();
#endif
}

} // namespace

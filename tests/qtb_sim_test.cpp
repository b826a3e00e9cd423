// qtb-sim as a process: the terminal it offers, its logs, its line pacing and
// line faults, its TCP mode, and its handling of values files.
#include "qtb_model.h"
#include "sim_process.h"
#include "sim_script.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Opens the terminal as a tool would: raw, 9600 8N1, no flow control.
int open_terminal(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// A TCP connection to 127.0.0.1:port, or -1.
int connect_local(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void send_bytes(int fd, const std::string &bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// One burst: the bytes that arrive until the line has been quiet for
// quiet_ms (after at least one byte), or until limit_ms have passed. *last
// is when the last byte came.
std::string read_burst(int fd, int quiet_ms = 100, int limit_ms = 5000,
                       Clock::time_point *last = nullptr) {
    std::string text;
    Clock::time_point start = Clock::now();
    for (;;) {
        int wait = text.empty() ? limit_ms - static_cast<int>(ms_since(start)) : quiet_ms;
        pollfd p = {fd, POLLIN, 0};
        if (wait <= 0 || poll(&p, 1, wait) <= 0) {
            return text;
        }
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (last != nullptr) {
            *last = Clock::now();
        }
    }
}

// A reply of `size` bytes, which may come in several bursts (200 ms of
// quiet apart); counts them in *bursts.
std::string read_reply(int fd, std::size_t size, int *bursts, Clock::time_point *last) {
    std::string got;
    *bursts = 0;
    while (got.size() < size) {
        std::string burst = read_burst(fd, 200, 5000, last);
        if (burst.empty()) {
            break;
        }
        got += burst;
        *bursts += 1;
    }
    return got;
}

std::string expected_reply(const std::string &keys_before, char key) {
    std::unique_ptr<QtbOptions> options(new QtbOptions);
    qtb_default_options(options.get());
    std::unique_ptr<QtbModel> model(new QtbModel);
    qtb_model_init(model.get(), options.get());
    unsigned char reply[QTB_REPLY_MAX];
    std::size_t n = 0;
    for (char k : keys_before + key) {
        std::string bytes = key_bytes(k);
        n = qtb_model_key(model.get(), reinterpret_cast<const unsigned char *>(bytes.data()), 3,
                          reply, sizeof reply);
    }
    return std::string(reinterpret_cast<char *>(reply), n);
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        if (fd >= 0) {
            close(fd);
        }
        stop_sim(&sim);
    }
    void start(const std::vector<std::string> &args) {
        std::string error;
        ASSERT_TRUE(start_sim(&sim, args, &error)) << error;
    }
    std::string dir;
    SimProcess sim;
    int fd = -1;
};

TEST_F(SimTest, ServesKeysOnItsTerminalAndLogsThem) {
    const std::string link = dir + "/qtb", keys = dir + "/keys", settings = dir + "/settings",
                      timing = dir + "/timing";
    start({"--baud", "0", "--link", link, "--key-log", keys, "--settings-log", settings,
           "--timing-log", timing});
    EXPECT_EQ(sim.first_line.rfind("/dev/pts/", 0), 0u) << sim.first_line;
    fd = open_terminal(link);
    ASSERT_GE(fd, 0) << std::strerror(errno);

    // A key split across two writes is still one key.
    send_bytes(fd, "\x1b");
    usleep(30000);
    send_bytes(fd, "[D");
    EXPECT_EQ(read_burst(fd), expected_reply("", 'L'));
    // A stray sequence and a key in one write: the stray one is ignored.
    send_bytes(fd, "\x1b[Z\x1b[B");
    EXPECT_EQ(read_burst(fd), expected_reply("L", 'D'));
    ASSERT_TRUE(wait_for_lines(keys, 3, 5000));

    EXPECT_EQ(stop_sim(&sim), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the simulator";
    EXPECT_EQ(read_file(keys), "LEFT\nBYTES 1b 5b 5a\nDOWN\n");
    const std::string line = "ispeed=9600 ospeed=9600 csize=8 parenb=0 cstopb=0 crtscts=0 ixon=0 "
                             "ixoff=0 icanon=0 echo=0 isig=0 opost=0 icrnl=0 cread=1 clocal=1\n";
    EXPECT_EQ(read_file(settings), line + line);
    long long key1 = 0, reply1 = 0, key2 = 0, reply2 = 0;
    std::size_t bytes1 = 0, bytes2 = 0;
    ASSERT_EQ(std::sscanf(read_file(timing).c_str(),
                          "key %lld\nreply %lld %zu\nkey %lld\nreply %lld %zu\n", &key1, &reply1,
                          &bytes1, &key2, &reply2, &bytes2),
              6)
        << read_file(timing);
    EXPECT_LE(key1, reply1);
    EXPECT_LT(reply1, key2);
    EXPECT_LE(key2, reply2);
    EXPECT_EQ(bytes1, expected_reply("", 'L').size());
    EXPECT_EQ(bytes2, expected_reply("L", 'D').size());
}

// Replies come at line speed, and a burst gap cuts them in two.
TEST_F(SimTest, PacesRepliesAtTheBaudRateAndSplitsThemOnRequest) {
    const std::string menu = expected_reply("", 'L');
    struct Case {
        const char *baud;
        const char *gap;
        long min_ms; // at least this long from key to last byte
        int bursts;
    };
    const long at_9600 = static_cast<long>(menu.size()) * 10 * 1000 / 9600;
    const Case cases[] = {{"9600", "0", at_9600 * 9 / 10, 1}, {"0", "400", 350, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("baud ") + c.baud + ", gap " + c.gap);
        start({"--baud", c.baud, "--burst-gap", c.gap});
        fd = open_terminal(sim.first_line);
        ASSERT_GE(fd, 0);
        Clock::time_point sent = Clock::now();
        send_bytes(fd, key_bytes('L'));
        int bursts = 0;
        Clock::time_point last = sent;
        std::string got = read_reply(fd, menu.size(), &bursts, &last);
        long took = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(last - sent).count());
        EXPECT_EQ(got, menu);
        EXPECT_EQ(bursts, c.bursts);
        EXPECT_GE(took, c.min_ms);
        EXPECT_LT(took, c.min_ms + 3000);
        close(fd);
        fd = -1;
        EXPECT_EQ(stop_sim(&sim), 0);
    }
}

// A one-time stall: only the reply to the chosen key is cut, and the count
// runs on across connections, so a second session is not cut again.
TEST_F(SimTest, SplitOnceCutsOneReplyInTheSimulatorsLife) {
    start({"--tcp", "0", "--baud", "0", "--split-once", "2:300"});
    int port = sim_tcp_port(&sim);
    ASSERT_GT(port, 0) << sim.first_line;
    const std::string walk = "LDLD"; // two sessions of two keys each
    for (std::size_t k = 0; k < walk.size(); ++k) {
        if (k % 2 == 0) {
            if (fd >= 0) {
                close(fd);
            }
            fd = connect_local(port);
            ASSERT_GE(fd, 0) << std::strerror(errno);
        }
        SCOPED_TRACE("key " + std::to_string(k + 1));
        const std::string expected = expected_reply(walk.substr(0, k), walk[k]);
        Clock::time_point sent = Clock::now();
        send_bytes(fd, key_bytes(walk[k]));
        int bursts = 0;
        Clock::time_point last = sent;
        EXPECT_EQ(read_reply(fd, expected.size(), &bursts, &last), expected);
        EXPECT_EQ(bursts, k == 1 ? 2 : 1);
        if (k == 1) {
            EXPECT_GE(last - sent, std::chrono::milliseconds(250));
        }
    }
}

TEST_F(SimTest, HangupMakesThePortVanish) {
    const std::string link = dir + "/qtb";
    start({"--baud", "0", "--hangup-after", "2", "--link", link});
    fd = open_terminal(link);
    ASSERT_GE(fd, 0);
    send_bytes(fd, key_bytes('L'));
    EXPECT_FALSE(read_burst(fd).empty());
    send_bytes(fd, key_bytes('L'));
    read_burst(fd, 100, 1000);
    EXPECT_EQ(wait_sim(&sim, 5000), 0);
    char byte;
    errno = 0;
    EXPECT_LE(read(fd, &byte, 1), 0);
    struct stat st;
    EXPECT_NE(stat(sim.first_line.c_str(), &st), 0) << "the terminal is still there";
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST_F(SimTest, ServesOneTcpConnectionAfterAnother) {
    start({"--tcp", "0", "--baud", "0"});
    int port = sim_tcp_port(&sim);
    ASSERT_GT(port, 0) << sim.first_line;
    for (char key : {'L', 'D'}) {
        fd = connect_local(port);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        send_bytes(fd, key_bytes(key));
        // The device keeps its state across connections, as across cables.
        EXPECT_EQ(read_burst(fd), expected_reply(key == 'L' ? "" : "L", key));
        close(fd);
        fd = -1;
    }
}

TEST_F(SimTest, DumpOfLoadedValuesIsByteIdenticalAndBadFilesAreRefused) {
    // A file as the device would give it, then edited: trailing spaces and an
    // 8-bit byte survive the trip.
    const std::string factory = dir + "/factory.cfg", edited = dir + "/edited.cfg",
                      dumped = dir + "/dumped.cfg", bad = dir + "/bad.cfg";
    RunResult r = run_program(qtb_sim_path(), {"--dump", factory, "--no-serve"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string text = read_file(factory);
    std::size_t at = text.find("Idle State = Flags\r\n");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 20, "Idle State = 0x7E \xB0  \r\n");
    std::FILE *f = std::fopen(edited.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    r = run_program(qtb_sim_path(), {"--values", edited, "--dump", dumped, "--no-serve"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(dumped), text);

    f = std::fopen(bad.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size() - 1, f);
    std::fclose(f);
    struct Case {
        std::vector<std::string> args;
        const char *in_stderr;
    };
    const Case cases[] = {
        {{"--values", bad, "--dump", dumped, "--no-serve"}, "line 152"},
        {{"--values", dir + "/missing.cfg"}, "missing.cfg"},
        {{"--wrong-label", "9,0"}, "--wrong-label"},
        {{"--no-label", "1,16"}, "--no-label needs CHANNEL,FIELD"},
        {{"--split-once", "0:80"}, "--split-once"},
        {{"--split-once", "48"}, "--split-once"},
        {{"--no-serve"}, "--dump"},
        {{"--frobnicate"}, "--frobnicate"},
    };
    for (const Case &c : cases) {
        r = run_program(qtb_sim_path(), c.args, RunOptions{dir, 5000, 0, 0, {}});
        EXPECT_EQ(r.exit_code, 2) << c.args[0];
        EXPECT_NE(r.err.find(c.in_stderr), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "no terminal path for a run that did not start";
    }
}

} // namespace

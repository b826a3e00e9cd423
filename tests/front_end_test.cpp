// The run sequence of main on a fake port: its messages, its exit status,
// and that the port is always put back as it was found.
#include "fake_link.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

int dedizo_main(int argc, char **argv); // front_end/main.cpp, renamed for the test

namespace {

struct Result {
    int status;
    std::string out;
    std::vector<std::string> calls;
};

Result run_main(std::vector<std::string> args, int fail_step = -1) {
    QtbOptions options;
    qtb_default_options(&options);
    options.silent = true; // the dialogue is not under test here: end it at the probe
    fake_link_reset(options);
    if (fail_step >= 0)
        fake_link_fail(static_cast<FakeLinkStep>(fail_step));
    args.insert(args.begin(), "dedizo");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    Result r;
    r.status = dedizo_main(static_cast<int>(args.size()), argv.data());
    r.out = testing::internal::GetCapturedStdout();
    r.calls = fake_link_calls();
    return r;
}

const std::string BANNER_START =
    "\n\n          [ ]\n[ ] [+]         QTB Configuration Backup Tool\n";
const std::string SILENT = "Error, no communication with QTB.\n\r";

TEST(RunSequence, NoArgumentPrintsUsageOnly) {
    Result r = run_main({});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "Usage: DEDIZO [COM1: | COM2:]\n\r");
    EXPECT_TRUE(r.calls.empty());
}

TEST(RunSequence, CompleteRunRestoresAndReleasesInOrder) {
    Result r = run_main({"COM1:", "ignored-second-word"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(BANNER_START, 0), 0u);
    EXPECT_EQ(r.out.substr(r.out.size() - SILENT.size()), SILENT);
    EXPECT_EQ(r.calls,
              (std::vector<std::string>{"open_port COM1:", "save_port_settings", "configure_port",
                                        "create_transfer_events", "restore_port_settings",
                                        "close_port", "close_transfer_events"}));
    EXPECT_TRUE(fake_link_state().restored);
    EXPECT_TRUE(fake_link_misuse().empty());
}

TEST(RunSequence, BannerIsExact) {
    Result r = run_main({"COM2:"});
    const std::string banner = r.out.substr(0, r.out.size() - SILENT.size());
    std::vector<std::string> lines;
    for (std::size_t start = 0, nl; (nl = banner.find('\n', start)) != std::string::npos;
         start = nl + 1)
        lines.push_back(banner.substr(start, nl - start));
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[2], "          [ ]");
    EXPECT_EQ(lines[3], "[ ] [+]         QTB Configuration Backup Tool");
    EXPECT_EQ(lines[4].substr(0, 16), std::string(16, ' '));
    EXPECT_EQ(lines[5].substr(0, 16), "[+] [+] [+]     ");
    EXPECT_EQ(lines[6].substr(0, 16), std::string(16, ' '));
    EXPECT_EQ(lines[7].substr(0, 16), "[ ] [+] [ ]     ");
    EXPECT_EQ(lines[10].substr(0, 3), "== ");
    EXPECT_EQ(lines[10].substr(lines[10].size() - 3), " ==");
    EXPECT_EQ(banner.substr(banner.size() - 3), "\n\n\n");
}

// A setup step that fails: its message, exit -1, and, once the port's
// settings may have been touched, the snapshot written back before leaving.
struct Failure {
    const char *name;
    FakeLinkStep step;
    std::string message;
    std::vector<std::string> calls;
};
void PrintTo(const Failure &c, std::ostream *os) {
    *os << c.name;
}

class SetupFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(SetupFailure, ReportsAndLeavesThePortAsFound) {
    const Failure &f = GetParam();
    Result r = run_main({"COM1:"}, f.step);
    EXPECT_EQ(r.status, -1);
    if (f.step == FAKE_RESTORE_SETTINGS) {
        EXPECT_EQ(r.out.substr(r.out.size() - f.message.size()), f.message);
    } else {
        EXPECT_EQ(r.out, f.message);
    }
    EXPECT_EQ(r.calls, f.calls);
    EXPECT_FALSE(fake_link_state().open);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SetupFailure,
    ::testing::Values(Failure{"open",
                              FAKE_OPEN_PORT,
                              "Unable to open commport: COM1:\n\r",
                              {"open_port COM1: (failed)"}},
                      Failure{"save",
                              FAKE_SAVE_SETTINGS,
                              "Unable to retrieve port configuration of : COM1:\n\r",
                              {"open_port COM1:", "save_port_settings (failed)", "close_port"}},
                      Failure{"configure",
                              FAKE_CONFIGURE_PORT,
                              "Unable to configure port: COM1:\n\r",
                              {"open_port COM1:", "save_port_settings", "configure_port (failed)",
                               "restore_port_settings", "close_port"}},
                      Failure{"events",
                              FAKE_CREATE_EVENTS,
                              "Could not create overlapped events\n\r",
                              {"open_port COM1:", "save_port_settings", "configure_port",
                               "create_transfer_events (failed)", "close_transfer_events",
                               "restore_port_settings", "close_port"}},
                      Failure{"restore",
                              FAKE_RESTORE_SETTINGS,
                              "Unable to restore port configuration of : COM1:\n\r",
                              {"open_port COM1:", "save_port_settings", "configure_port",
                               "create_transfer_events", "restore_port_settings (failed)",
                               "close_port", "close_transfer_events"}}),
    [](const ::testing::TestParamInfo<Failure> &info) { return std::string(info.param.name); });

TEST(RunSequence, PortNameIsPrintedVerbatim) {
    Result r = run_main({"%s%n%d\\.\\COM10"}, FAKE_OPEN_PORT);
    EXPECT_EQ(r.out, "Unable to open commport: %s%n%d\\.\\COM10\n\r");
}

} // namespace

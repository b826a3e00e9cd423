// wine_support.h - running dedizo's Windows build under a private Wine.
//
// Shared by the Wine tests: the backend checks (wine_backends_test.cpp) and
// the whole-tool runs (wine_dedizo_test.cpp), which are linked into one
// driver so that a test run makes the prefix and starts its server once.
//
// The environment, set by CTest:
//   DEDIZO_WINE_ENV      wine_env.sh
//   DEDIZO_WINE_PREFIX   the prefix, created here when missing
//   DEDIZO_WINDOWS_BUILD the windows preset's build directory; every test
//                        is skipped when its programs have not been built
//
// Wine writes diagnostics of its own on standard error. Every program run
// here has its standard error sent to wine-probe.log in the working
// directory, which no assertion looks at; only standard output is compared.
#ifndef DEDIZO_WINE_SUPPORT_H
#define DEDIZO_WINE_SUPPORT_H

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start);
std::string env_or_empty(const char *name);
bool file_exists(const std::string &path);

// Runs wine_env.sh with the arguments; its exit status as system() gives it.
int run_env_script(const std::vector<std::string> &args);

// The prefix, made once for the whole run, with its server started, and
// shut down at the end.
struct WineSetup {
    std::string prefix;
    std::string build;
    std::string skip_reason;
    bool failed = false;
};
extern WineSetup wine;

// Skips or fails the calling test when there is no usable prefix.
#define REQUIRE_WINE()                                                                             \
    do {                                                                                           \
        if (!wine.skip_reason.empty()) {                                                           \
            GTEST_SKIP() << wine.skip_reason;                                                      \
        }                                                                                          \
        ASSERT_FALSE(wine.failed) << "could not create or start the Wine prefix " << wine.prefix;  \
    } while (false)

// A Windows program running under Wine, talking over pipes.
struct WindowsProgram {
    pid_t pid = -1;
    int to = -1;
    int from = -1;
    std::string pending;
};

// Starts exe (a file of the Windows build) with args in the directory cwd.
// Every descriptor of ours but the pipes is closed in the child. The pid is
// the Windows process itself: wine_env.sh and the wine loader replace
// themselves with it, so a signal sent to it reaches the program.
bool start_program(WindowsProgram &program, const std::string &exe,
                   const std::vector<std::string> &args, const std::string &cwd = ".");

// The program's next line of output, without its line end, or "" when none
// came within timeout_ms.
std::string read_answer(WindowsProgram &program, int timeout_ms = 20000);

// Closes the program's input and waits for it to end, at most 5 s.
void stop_program(WindowsProgram &program);

// A whole run of a Windows program, start to end.
struct WindowsRunOptions {
    std::string cwd = ".";
    int timeout_ms = 90000;            // then SIGKILL, and timed_out is set
    int signal = 0;                    // a signal to send mid-run; 0 for none
    std::function<bool()> signal_when; // ... once this holds (polled every 10 ms)
};

struct WindowsRun {
    bool started = false;
    bool exited = false; // ended by returning from main or exit()
    int exit_code = -1;  // as Linux sees it: -1 from main arrives as 255
    int term_signal = 0; // the signal that ended it, when one did
    bool timed_out = false;
    bool signal_sent = false;
    long elapsed_ms = 0;
    std::string out; // standard output, byte for byte
};

// Runs exe (a file of the Windows build) to its end with its input closed,
// its output captured and the options' bound on its time.
WindowsRun run_windows_program(const std::string &exe, const std::vector<std::string> &args,
                               const WindowsRunOptions &options = WindowsRunOptions());

#endif

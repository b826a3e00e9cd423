// wine_support.cpp - running dedizo's Windows build under Wine; see wine_support.h.
#include "wine_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

WineSetup wine;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string env_or_empty(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool file_exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

int run_env_script(const std::vector<std::string> &args) {
    std::string command = "sh '" + env_or_empty("DEDIZO_WINE_ENV") + "'";
    for (const std::string &arg : args) {
        command += " '" + arg + "'";
    }
    return std::system(command.c_str());
}

namespace {

// The programs of the Windows build that the tests run.
const char *const WINDOWS_PROGRAMS[] = {"serial_link_probe.exe", "backup_file_probe.exe",
                                        "dedizo.exe"};

// The first program of a prefix starts Wine's server and its background
// services; on a loaded machine that has taken over ten seconds. It is done
// once here, so that no test pays for it inside its own time bounds. The
// services keep running until the end, holding the standard error they were
// started with: wine-probe.log, never a pipe of ours.
constexpr int FIRST_START_MS = 120000;

class WineEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        // A program that dies must fail its test, not end ours on a write.
        signal(SIGPIPE, SIG_IGN);
        wine.prefix = env_or_empty("DEDIZO_WINE_PREFIX");
        wine.build = env_or_empty("DEDIZO_WINDOWS_BUILD");
        if (wine.prefix.empty() || wine.build.empty() || env_or_empty("DEDIZO_WINE_ENV").empty()) {
            wine.skip_reason =
                "DEDIZO_WINE_PREFIX, DEDIZO_WINE_ENV or DEDIZO_WINDOWS_BUILD not set";
            return;
        }
        for (const char *program : WINDOWS_PROGRAMS) {
            if (!file_exists(wine.build + "/" + program)) {
                wine.skip_reason =
                    std::string(program) + " not built (build the windows preset) in " + wine.build;
                return;
            }
        }
        if (run_env_script({"create", wine.prefix}) != 0) {
            wine.failed = true;
            return;
        }
        WindowsRunOptions options;
        options.timeout_ms = FIRST_START_MS;
        const Clock::time_point start = Clock::now();
        const WindowsRun first = run_windows_program("dedizo.exe", {}, options);
        wine.failed = !first.started || first.timed_out;
        std::printf("measured: first Wine start of the run took %.0f ms\n", ms_since(start));
    }
    void TearDown() override {
        if (wine.skip_reason.empty() && !wine.prefix.empty()) {
            run_env_script({"stop", wine.prefix});
        }
    }
};

testing::Environment *const wine_environment =
    testing::AddGlobalTestEnvironment(new WineEnvironment);

} // namespace

bool start_program(WindowsProgram &program, const std::string &exe,
                   const std::vector<std::string> &args, const std::string &cwd) {
    int in_pipe[2];
    int out_pipe[2];
    if (pipe(in_pipe) != 0) {
        return false;
    }
    if (pipe(out_pipe) != 0) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        return false;
    }
    const int log = open("wine-probe.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::string script = env_or_empty("DEDIZO_WINE_ENV");
    const std::string path = wine.build + "/" + exe;
    std::vector<const char *> argv = {"sh", script.c_str(), "run", wine.prefix.c_str(),
                                      path.c_str()};
    for (const std::string &arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    program.pid = fork();
    if (program.pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        if (log >= 0) {
            dup2(log, 2);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            close(fd);
        }
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        execvp("sh", const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    if (log >= 0) {
        close(log);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    program.to = in_pipe[1];
    program.from = out_pipe[0];
    program.pending.clear();
    if (program.pid < 0) {
        close(program.to);
        close(program.from);
        program.to = program.from = -1;
        return false;
    }
    return true;
}

std::string read_answer(WindowsProgram &program, int timeout_ms) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        const std::size_t newline = program.pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = program.pending.substr(0, newline);
            program.pending.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        const int left = timeout_ms - static_cast<int>(ms_since(start));
        if (left <= 0) {
            return "";
        }
        pollfd watch = {program.from, POLLIN, 0};
        if (poll(&watch, 1, left) <= 0) {
            continue;
        }
        char chunk[65536];
        const ssize_t got = read(program.from, chunk, sizeof chunk);
        if (got <= 0) {
            return "";
        }
        program.pending.append(chunk, static_cast<std::size_t>(got));
    }
}

void stop_program(WindowsProgram &program) {
    if (program.to >= 0) {
        close(program.to);
        program.to = -1;
    }
    if (program.pid > 0) {
        const Clock::time_point start = Clock::now();
        int status = 0;
        while (waitpid(program.pid, &status, WNOHANG) == 0) {
            if (ms_since(start) > 5000) {
                kill(program.pid, SIGKILL);
                waitpid(program.pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        program.pid = -1;
    }
    if (program.from >= 0) {
        close(program.from);
        program.from = -1;
    }
}

WindowsRun run_windows_program(const std::string &exe, const std::vector<std::string> &args,
                               const WindowsRunOptions &options) {
    WindowsRun run;
    const Clock::time_point start = Clock::now();
    WindowsProgram program;
    if (!start_program(program, exe, args, options.cwd)) {
        return run;
    }
    run.started = true;
    close(program.to); // the tool reads nothing from its input
    program.to = -1;

    int status = 0;
    bool reaped = false;
    bool output_open = true;
    // Output is read until the pipe closes; once the program has been
    // reaped, at most two seconds more in case something of Wine's still
    // holds the pipe.
    while (!reaped || (output_open && ms_since(start) < run.elapsed_ms + 2000.0)) {
        if (output_open) {
            pollfd watch = {program.from, POLLIN, 0};
            if (poll(&watch, 1, 10) > 0) {
                char chunk[65536];
                const ssize_t got = read(program.from, chunk, sizeof chunk);
                if (got > 0) {
                    run.out.append(chunk, static_cast<std::size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    output_open = false;
                }
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (reaped) {
            continue;
        }
        if (waitpid(program.pid, &status, WNOHANG) == program.pid) {
            reaped = true;
            run.elapsed_ms = static_cast<long>(ms_since(start));
            continue;
        }
        if (options.signal != 0 && !run.signal_sent &&
            (!options.signal_when || options.signal_when())) {
            kill(program.pid, options.signal);
            run.signal_sent = true;
        }
        if (!run.timed_out && ms_since(start) >= options.timeout_ms) {
            kill(program.pid, SIGKILL);
            run.timed_out = true;
        }
    }
    program.pid = -1;
    stop_program(program);
    if (WIFEXITED(status)) {
        run.exited = true;
        run.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.term_signal = WTERMSIG(status);
    }
    return run;
}

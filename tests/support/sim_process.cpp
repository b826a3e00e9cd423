// sim_process.cpp - processes for end-to-end tests; see sim_process.h.
#include "sim_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int shell_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

std::vector<char *> make_argv(const std::string &path, const std::vector<std::string> &args) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const char *cwd, int out_fd, int err_fd, char **argv) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
    }
    if (out_fd >= 0) {
        dup2(out_fd, 1);
    }
    if (err_fd >= 0) {
        dup2(err_fd, 2);
    }
    if (cwd != nullptr && chdir(cwd) != 0) {
        _exit(127);
    }
    execv(argv[0], argv);
    const char message[] = "exec failed\n";
    ssize_t ignored = write(2, message, sizeof message - 1);
    (void)ignored;
    _exit(127);
}

} // namespace

const char *qtb_sim_path() {
    return QTB_SIM_PATH;
}

bool start_sim(SimProcess *sim, const std::vector<std::string> &args, std::string *error) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        if (error != nullptr) {
            *error = std::string("pipe: ") + std::strerror(errno);
        }
        return false;
    }
    std::string path = qtb_sim_path();
    std::vector<char *> argv = make_argv(path, args);
    pid_t pid = fork();
    if (pid == 0) {
        exec_child(nullptr, out[1], -1, argv.data());
    }
    close(out[1]);
    sim->pid = pid;
    sim->stdout_fd = out[0];
    sim->first_line.clear();
    if (pid < 0) {
        close(out[0]);
        sim->stdout_fd = -1;
        if (error != nullptr) {
            *error = std::string("fork: ") + std::strerror(errno);
        }
        return false;
    }
    Clock::time_point start = Clock::now();
    std::string text;
    while (text.find('\n') == std::string::npos) {
        long left = 10000 - ms_since(start);
        pollfd p = {sim->stdout_fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            if (error != nullptr) {
                *error = "qtb-sim printed no first line within 10 s";
            }
            stop_sim(sim);
            return false;
        }
        char buffer[256];
        ssize_t n = read(sim->stdout_fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (error != nullptr) {
                *error = "qtb-sim ended before printing its first line";
            }
            stop_sim(sim);
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    sim->first_line = text.substr(0, text.find('\n'));
    return true;
}

int wait_sim(SimProcess *sim, int timeout_ms) {
    if (sim->pid <= 0) {
        return 0;
    }
    Clock::time_point start = Clock::now();
    for (;;) {
        int status = 0;
        pid_t done = waitpid(sim->pid, &status, WNOHANG);
        if (done == sim->pid) {
            sim->pid = -1;
            if (sim->stdout_fd >= 0) {
                close(sim->stdout_fd);
                sim->stdout_fd = -1;
            }
            return shell_status(status);
        }
        if (done < 0 || ms_since(start) >= timeout_ms) {
            return -1;
        }
        usleep(5000);
    }
}

int stop_sim(SimProcess *sim) {
    if (sim->pid <= 0) {
        return 0;
    }
    kill(sim->pid, SIGTERM);
    int status = wait_sim(sim, 5000);
    if (status < 0 && sim->pid > 0) {
        kill(sim->pid, SIGKILL);
        status = wait_sim(sim, 5000);
    }
    return status;
}

int sim_tcp_port(const SimProcess *sim) {
    const std::string prefix = "tcp 127.0.0.1:";
    if (sim->first_line.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    return std::atoi(sim->first_line.c_str() + prefix.size());
}

RunResult run_program(const std::string &path, const std::vector<std::string> &args,
                      const RunOptions &options) {
    RunResult result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    std::vector<char *> argv = make_argv(path, args);
    const char *cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
    Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        exec_child(cwd, out[1], err[1], argv.data());
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return result;
    }
    result.started = true;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int status = 0;
    bool reaped = false;
    while (!reaped || fds[0].fd >= 0 || fds[1].fd >= 0) {
        poll(fds, 2, 10);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[4096];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                }
            }
        }
        if (!reaped && waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
        }
        long elapsed = ms_since(start);
        if (!reaped && options.signal != 0 && !result.signal_sent &&
            elapsed >= options.signal_after_ms && (!options.signal_when || options.signal_when())) {
            kill(pid, options.signal);
            result.signal_sent = true;
        }
        if (!reaped && elapsed >= options.timeout_ms && !result.timed_out) {
            kill(pid, SIGKILL);
            result.timed_out = true;
        }
        if (reaped && (result.timed_out || elapsed >= options.timeout_ms + 1000)) {
            break; // output pipes may be held by the program's own children
        }
    }
    for (pollfd &p : fds) {
        if (p.fd >= 0) {
            close(p.fd);
        }
    }
    result.elapsed_ms = ms_since(start);
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.term_signal = WTERMSIG(status);
    }
    return result;
}

bool wait_for_lines(const std::string &path, std::size_t lines, int timeout_ms) {
    Clock::time_point start = Clock::now();
    for (;;) {
        std::string text = read_file(path);
        std::size_t count = 0;
        for (char c : text) {
            count += c == '\n' ? 1 : 0;
        }
        if (count >= lines) {
            return true;
        }
        if (ms_since(start) >= timeout_ms) {
            return false;
        }
        usleep(5000);
    }
}

std::string read_file(const std::string &path) {
    std::string text;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return text;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}

namespace {

std::vector<std::string> &temp_dirs() {
    static std::vector<std::string> dirs;
    return dirs;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

// Test processes end through exit(); take their scratch folders with them
// (KEEP_TEST_DIRS=1 keeps them for a look after a failure).
void remove_temp_dirs() {
    const char *keep = std::getenv("KEEP_TEST_DIRS");
    if (keep != nullptr && keep[0] == '1')
        return;
    for (const std::string &dir : temp_dirs())
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

} // namespace

std::string make_temp_dir() {
    if (temp_dirs().empty())
        std::atexit(remove_temp_dirs);
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/qtb-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        return std::string();
    }
    temp_dirs().push_back(name.data());
    return std::string(name.data());
}

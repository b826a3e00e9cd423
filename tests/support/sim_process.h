// sim_process.h - running qtb-sim and the tool as real processes in tests.
//
// End-to-end tests put qtb-sim on a pseudo-terminal in one process and run
// the tool against it in another, exactly as a user would. These helpers
// start and stop the simulator, run a program to completion with its output
// captured and a time limit, and deliver a signal to it mid-run.
#ifndef SIM_PROCESS_H
#define SIM_PROCESS_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Path of the qtb-sim executable this build made.
const char *qtb_sim_path();

struct SimProcess {
    pid_t pid = -1;
    int stdout_fd = -1;
    std::string first_line; // the terminal's path, or "tcp 127.0.0.1:PORT"
};

// Starts qtb-sim with the arguments and waits (at most 10 s) for the first
// line of its standard output. Its standard error goes to the test's. false,
// with the simulator stopped and the reason in *error, when it did not come
// up.
bool start_sim(SimProcess *sim, const std::vector<std::string> &args, std::string *error = nullptr);

// Waits at most timeout_ms for the simulator to end by itself. Its exit
// status as a shell reports it (128 + signal when killed), or -1 when it is
// still running.
int wait_sim(SimProcess *sim, int timeout_ms);

// SIGTERM, then waits up to 5 s (SIGKILL after that). Returns the exit status
// as wait_sim does; 0 for a simulator already reaped or never started.
int stop_sim(SimProcess *sim);

// The TCP port of a simulator started with --tcp (0 when there is none).
int sim_tcp_port(const SimProcess *sim);

struct RunOptions {
    std::string cwd;                   // working directory; empty: the test's own
    int timeout_ms = 60000;            // then SIGKILL, and timed_out is set
    int signal = 0;                    // a signal to deliver mid-run; 0 for none
    int signal_after_ms = 0;           // ... this long after the start, and
    std::function<bool()> signal_when; // ... once this holds (polled); empty: always
};

struct RunResult {
    bool started = false; // false when the program could not be run at all
    int exit_code = -1;   // WEXITSTATUS, when it exited
    int term_signal = 0;  // the signal that ended it, when one did
    bool timed_out = false;
    bool signal_sent = false;
    long elapsed_ms = 0;
    std::string out;
    std::string err;
};

// Runs the program with the arguments (argv[0] is the path), standard input
// from /dev/null, both output streams captured separately, and waits for it.
RunResult run_program(const std::string &path, const std::vector<std::string> &args,
                      const RunOptions &options = RunOptions());

// Waits at most timeout_ms until the file has at least `lines` complete
// lines. Handy with qtb-sim's logs ("signal once the tenth key is in").
bool wait_for_lines(const std::string &path, std::size_t lines, int timeout_ms);

// The whole content of a file ("" when it does not exist).
std::string read_file(const std::string &path);

// A fresh empty directory under the system's temporary directory.
std::string make_temp_dir();

#endif

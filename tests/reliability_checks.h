// reliability_checks.h - what every run of dedizo must leave behind, however
// the line behaved: shared by the reliability tests and the garbage soak.
//
// Whatever the device or the port does, a run must end; QTB.CFG must be the
// file that was there before or a complete backup; nothing else may appear in
// the directory; and a port that still exists must have the settings it had
// before the run.
#ifndef RELIABILITY_CHECKS_H
#define RELIABILITY_CHECKS_H

#include "sim_process.h"

#include <cstdint>
#include <string>
#include <termios.h>
#include <vector>

// The QTB.CFG a test directory starts with; it must survive every run that
// does not end in a complete backup.
extern const char OLD_BACKUP[];

// A fresh directory holding OLD_BACKUP as QTB.CFG ("" when it could not be
// made).
std::string directory_with_old_backup();

// The names in a directory, "." and ".." left out, sorted.
std::vector<std::string> files_in(const std::string &dir);

// Removes a test directory and the files in it.
void remove_directory(const std::string &dir);

// "" when text is a complete backup: eight blocks, each the channel's header
// line, sixteen field lines and the closing lines, every line ending in CR
// LF, nothing before or after. A field line is the field's label, " = " and
// its value, never empty (a paint that held no field ends the run instead);
// the first field's label is recorded as painted, so it is only required to
// carry " = ". No ESC or NUL byte anywhere: the screen's control sequences
// never reach a backup. Otherwise, what is wrong and where.
std::string backup_structure_error(const std::string &text);

// A pseudo-terminal slave held open by the test for the length of a run, with
// settings nothing like the QTB line's (19200 7O2, XON/XOFF, canonical input
// without echo), so a run that does not put them back is caught.
struct HeldPort {
    int fd = -1;
    termios found{};
};

// Opens the port and gives it those settings. "" or the reason it failed.
std::string hold_port(const std::string &path, HeldPort *port);

// "" when the port's settings are what hold_port left, else what differs.
std::string port_settings_change(const HeldPort &port);

void release_port(HeldPort *port);

// CPU time (user + system) of the children waited for so far, in seconds.
double children_cpu_seconds();

// The text of a run's standard output after the banner, with the
// "Retrieving channel N configuration" lines taken out: the message the run
// ended with. The whole output when there is no banner.
std::string closing_message(const std::string &out);

// What a run against a babbling device came to.
struct GarbageRun {
    bool ok = false;     // every check held
    std::string outcome; // how the tool said the run ended ("no communication", ...)
    std::string failure; // what did not hold, when !ok
    int channels = 0;    // "Retrieving channel N configuration" lines printed
    long elapsed_ms = 0;
    double cpu_seconds = 0;
};

// Runs dedizo against qtb-sim answering with garbage from `seed`, replies
// written at once (so long ones queue beyond a receive's capacity), on a
// port held with foreign settings, in a directory holding an old backup.
// Checks: the run ends by itself within the limit, exits 0, prints nothing on
// standard error (a sanitizer's report would land there), ends with one of
// the tool's own messages, puts the port's settings back, and leaves QTB.CFG
// either as it was or as a complete backup, and nothing else.
GarbageRun run_garbage_seed(const std::string &dedizo, std::uint64_t seed);

#endif

// stop_signals.h - letting the operator abort a run without losing the port.
//
// A user who presses Ctrl-C (or whose session sends SIGTERM, or who closes the
// console window on Windows) must not be left with a port at our settings:
// the next program to use it would talk 9600 8N1 with handshaking off. So the
// handlers only ask the dialogue to stop (request_stop); the run then unwinds
// through main, which restores and closes the port as on every other path.
// One implementation file per operating system, picked by the build.
#ifndef DEDIZO_STOP_SIGNALS_H
#define DEDIZO_STOP_SIGNALS_H

// Installs the handlers. 0, or -1 when they could not be installed.
int install_stop_handlers();

// Called by main once the port has been restored and closed. A console-close
// handler that is holding the process open (Windows ends the process as soon
// as that handler returns) may return after this.
void stop_handlers_done();

#endif

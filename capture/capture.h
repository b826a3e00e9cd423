// capture.h - the dialogue with the QTB's menus.
//
// run_backup walks the device's menus with cursor keys as an operator at a
// terminal would, reads each channel's sixteen setup fields off the screen
// paint, checks their labels, and writes QTB.CFG in the current directory.
// It prints its own progress and error messages and returns when the backup
// is written or at its first failure; it never touches the port's settings.
#ifndef DEDIZO_CAPTURE_H
#define DEDIZO_CAPTURE_H

#include "serial_link.h"

void run_backup(PortHandle port, TransferSlot *receive_slot, TransferSlot *send_slot);

// Asks the dialogue to stop before its next key. Safe to call from a signal
// handler or from a console-control thread. Once asked, no further key is
// sent and no file is written.
void request_stop();
bool stop_requested();

#endif

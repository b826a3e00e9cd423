// fake_link.h - serial_link.h in process, with a software QTB at the far end.
//
// Links in place of the real serial backend. There is no port and no waiting:
// send_text hands the bytes straight to a qtb_model device, which answers at
// once, and its reply is queued; receive_reply takes the next queued reply
// (up to the caller's capacity; what does not fit stays queued for the next
// receive) or returns 0 when nothing is queued, as a real receive does after
// its wait. Each reply is queued as its own burst, as if the device paused
// after every paint: a receive never joins two replies.
//
// The hooks let a test choose the device (values and content faults), make
// any setup or teardown step fail, cut every reply into two bursts, make the
// port vanish after some keys, and afterwards read what happened: the keys
// the device received, the number of receives, the order of the calls, and
// any use of the link outside its calling order.
//
// One fake port per process; not thread-safe.
#ifndef FAKE_LINK_H
#define FAKE_LINK_H

#include "qtb_model.h"
#include "serial_link.h"

#include <cstddef>
#include <string>
#include <vector>

// The steps that can be made to fail.
enum FakeLinkStep {
    FAKE_OPEN_PORT,
    FAKE_SAVE_SETTINGS,
    FAKE_CONFIGURE_PORT,
    FAKE_CREATE_EVENTS,
    FAKE_RESTORE_SETTINGS,
    FAKE_STEP_COUNT
};

// Back to a closed port, a device with factory settings and no faults, no
// failing steps, no bursts split, empty records.
void fake_link_reset();
// The same with a device made from these options.
void fake_link_reset(const QtbOptions &options);

// The device itself, to inspect or adjust between keys.
QtbModel &fake_link_model();

// Makes a step fail (or succeed again) from its next call on.
void fake_link_fail(FakeLinkStep step, bool fail = true);

// Each reply is queued as two bursts, split in its middle (as the device
// pausing mid-paint for longer than the line's reply gap).
void fake_link_split_replies(bool split);

// After the device has received this many keys (and answered the last), the
// port vanishes: sends fail, receives return 0, queued bytes are lost.
// Negative: never.
void fake_link_hangup_after(long keys);

// What the device received, one entry per input unit, as in qtb-sim's key
// log: "UP", "DOWN", "RIGHT", "LEFT" or "BYTES 1b 5b 5a".
const std::vector<std::string> &fake_link_keys();

// Number of receive_reply calls, and how many of them returned bytes.
long fake_link_receive_count();
long fake_link_nonempty_receive_count();

// The setup and teardown calls in the order made, e.g. "open_port COM1:",
// "save_port_settings", "configure_port", "create_transfer_events",
// "restore_port_settings", "close_port", "close_transfer_events". A call
// made to fail is recorded with " (failed)" appended.
const std::vector<std::string> &fake_link_calls();

// Uses of the link outside its calling order or contract (a send before
// the port is configured, a receive on the send slot, a restore from a
// snapshot that save_port_settings did not fill, ...). Empty for a caller
// that keeps to serial_link.h.
const std::vector<std::string> &fake_link_misuse();

struct FakeLinkState {
    bool open;          // open_port succeeded and close_port not yet called
    bool configured;    // configure_port succeeded since the open
    bool restored;      // restore_port_settings put the saved settings back
    bool events_ready;  // create_transfer_events succeeded, not yet closed
    bool hung_up;       // the port has vanished (fake_link_hangup_after)
    std::size_t queued; // reply bytes waiting to be received
};
FakeLinkState fake_link_state();

#endif

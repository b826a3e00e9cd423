// dialogue.cpp - walking the QTB's menus and collecting the backup.
//
// The device is driven blind, as an operator at a terminal would drive it:
// a fixed script of cursor keys, each followed by one receive of the screen
// paint it causes. Only a few replies are looked at: the probe replies (is
// anyone there?), the reply on entering the configuration menu (is it
// locked?), and the sixteen field paints of each channel. The rest keep the
// script in step with the device's screens.
#include "dialogue.h"
#include "backup_file.h"
#include "capture.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");
std::atomic<bool> stop_flag{false};

const char BACKUP_NAME[] = "QTB.CFG";
const char CLOSING_LINE[] = "********************************************************\r\n\r\n";

struct Dialogue {
    PortHandle port;
    TransferSlot *receive_slot;
    TransferSlot *send_slot;
    unsigned char reply_buffer[REPLY_CAPACITY];
    std::size_t received; // bytes the last receive delivered
    char *backup_text;    // BACKUP_CAPACITY bytes, one zero-terminated text
};

// How a stage of the dialogue ended.
enum Progress { GO_ON, ENDED, STOPPED };

void say(const char *message) {
    std::fputs(message, stdout);
}

// Sends one key. Nothing is sent once the operator has asked to stop.
bool press(Dialogue *d, KeyIndex key) {
    if (stop_requested())
        return false;
    send_text(d->port, d->send_slot, key_table[key].bytes, key_table[key].length);
    return true;
}

void receive(Dialogue *d) {
    d->received = receive_reply(d->port, d->receive_slot, d->reply_buffer, REPLY_CAPACITY);
}

bool step(Dialogue *d, KeyIndex key) {
    if (!press(d, key))
        return false;
    receive(d);
    return true;
}

void clear_reply(Dialogue *d) {
    std::memset(d->reply_buffer, 0, sizeof d->reply_buffer);
}

bool reply_contains(Dialogue *d, const char *word) {
    const ReplyText text = reply_text(d->reply_buffer, d->received);
    const std::size_t n = std::strlen(word);
    for (std::size_t i = 0; i + n <= text.length; ++i) {
        if (std::memcmp(text.buffer + i, word, n) == 0)
            return true;
    }
    return false;
}

Progress no_communication() {
    say("Error, no communication with QTB.\n\r");
    return ENDED;
}

Progress backup_too_large() {
    say("Error, the configuration does not fit in the backup buffer, QTB.CFG not written.\n\r");
    return ENDED;
}

// Checks that the device answers, moves its menu to the channel list, and
// refuses to go on when the configuration is locked.
Progress run_opening(Dialogue *d) {
    for (int i = 0; i < 10; ++i) {
        if (!step(d, KEY_LEFT))
            return STOPPED;
        if (d->received == 0)
            return no_communication();
    }
    for (int i = 0; i < 10; ++i) {
        if (!step(d, KEY_DOWN))
            return STOPPED;
    }
    if (!step(d, KEY_UP) || !press(d, KEY_RIGHT))
        return STOPPED;
    clear_reply(d);
    receive(d);
    if (reply_contains(d, "Privileged")) {
        say("QTB is locked, can not read the configuration.\n\rPlease unlock the QTB and try "
            "again.\n\r");
        return ENDED;
    }
    for (int i = 0; i < 10; ++i) {
        if (!step(d, KEY_DOWN))
            return STOPPED;
    }
    return GO_ON;
}

// Parses the reply just received as field `index`. A reply that never came is
// a device that has stopped answering: going on would write a backup of empty
// lines over the last good one. A reply that came but stops before its label
// ends the run too, as a mismatch: the field expected there was not seen.
Progress take_field(Dialogue *d, int index, bool check_label) {
    if (d->received == 0)
        return no_communication();
    switch (parse_field_reply(reply_text(d->reply_buffer, d->received), d->backup_text, index,
                              check_label)) {
    case PARSE_MATCH:
        return GO_ON;
    case PARSE_MISMATCH:
        std::printf("Error when reading configuration, expecting %s\n\r", field_table[index].label);
        return ENDED;
    case PARSE_OVERFLOW:
        break;
    }
    return backup_too_large();
}

// One channel's setup screen: in, down through all sixteen fields so the
// cursor is back on the first, then up through them reading each, and out.
Progress capture_channel(Dialogue *d, int channel) {
    std::printf("Retrieving channel %d configuration\n\r", channel);
    char header_buffer[2048];
    int n = std::snprintf(header_buffer, sizeof header_buffer,
                          "**************** CHANNEL %d CONFIGURATION ***************\r\n", channel);
    if (!append_text(d->backup_text, header_buffer, static_cast<std::size_t>(n)))
        return backup_too_large();

    receive(d); // the reply to the key that ended the previous stage
    if (!press(d, KEY_RIGHT))
        return STOPPED;
    for (int i = 0; i < FIELD_COUNT; ++i) {
        receive(d);
        if (!press(d, KEY_DOWN))
            return STOPPED;
    }
    clear_reply(d);
    receive(d);
    // Channel Type's label is recorded as painted, not compared; a paint
    // without any label still ends the run.
    Progress p = take_field(d, 0, false);
    for (int index = 1; p == GO_ON && index < FIELD_COUNT; ++index) {
        if (!step(d, KEY_UP))
            return STOPPED;
        p = take_field(d, index, true);
    }
    if (p != GO_ON)
        return p;
    if (!step(d, KEY_LEFT) || !press(d, KEY_UP))
        return STOPPED;
    if (!append_text(d->backup_text, CLOSING_LINE, sizeof CLOSING_LINE - 1))
        return backup_too_large();
    return GO_ON;
}

Progress capture_channels(Dialogue *d) {
    for (int channel = 1; channel <= CHANNEL_COUNT; ++channel) {
        Progress p = capture_channel(d, channel);
        if (p != GO_ON)
            return p;
    }
    if (!step(d, KEY_LEFT) || !step(d, KEY_LEFT))
        return STOPPED;
    return GO_ON;
}

Progress save_backup(Dialogue *d) {
    if (stop_requested())
        return STOPPED;
    if (write_backup_file(BACKUP_NAME, d->backup_text, std::strlen(d->backup_text)) != 0) {
        say("Could not create file QTB.CFG\n\r");
        return ENDED;
    }
    say("File QTB.CFG created\n\r");
    return GO_ON;
}

} // namespace

void request_stop() {
    stop_flag.store(true);
}

bool stop_requested() {
    return stop_flag.load();
}

void run_backup(PortHandle port, TransferSlot *receive_slot, TransferSlot *send_slot) {
    Dialogue d{};
    d.port = port;
    d.receive_slot = receive_slot;
    d.send_slot = send_slot;
    d.backup_text = static_cast<char *>(std::calloc(BACKUP_CAPACITY, 1));
    if (d.backup_text == nullptr) {
        say("Error, not enough memory to hold the backup.\n\r");
        return;
    }

    Progress p = run_opening(&d);
    if (p == GO_ON)
        p = capture_channels(&d);
    if (p == GO_ON)
        p = save_backup(&d);
    if (p == STOPPED)
        say("Interrupted, QTB.CFG not written.\n\r");

    std::free(d.backup_text);
    d.backup_text = nullptr;
}

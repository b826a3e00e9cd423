// fake_link.cpp - the in-process serial link; see fake_link.h.
#include "fake_link.h"

#include <cstring>
#include <deque>

struct SerialPort {
    int unused;
};

namespace {

// The marker save_port_settings leaves in a snapshot, so a restore can tell
// whether it was handed back what was saved.
const char SNAPSHOT_MARK[] = "fake-link: settings as found";

struct FakeLink {
    QtbModel model;
    QtbKeyScanner scanner;
    SerialPort port;
    bool open = false;
    bool configured = false;
    bool restored = false;
    bool hung_up = false;
    bool split = false;
    long hangup_after = -1;
    bool fail[FAKE_STEP_COUNT] = {};
    TransferSlot *receive_slot = nullptr;
    TransferSlot *send_slot = nullptr;
    std::deque<std::string> bursts;
    std::vector<std::string> keys;
    std::vector<std::string> calls;
    std::vector<std::string> misuse;
    long receives = 0;
    long nonempty_receives = 0;
};

FakeLink &fake() {
    static FakeLink link;
    return link;
}

void record_call(const std::string &call, bool failed) {
    fake().calls.push_back(failed ? call + " (failed)" : call);
}

void record_misuse(const std::string &what) {
    fake().misuse.push_back(what);
}

bool check_port(PortHandle port, const char *operation) {
    FakeLink &f = fake();
    if (port != &f.port) {
        record_misuse(std::string(operation) + " on a handle open_port did not return");
        return false;
    }
    if (!f.open) {
        record_misuse(std::string(operation) + " on a closed port");
        return false;
    }
    return true;
}

void queue_reply(const unsigned char *reply, std::size_t length) {
    FakeLink &f = fake();
    if (length == 0) {
        return;
    }
    const char *text = reinterpret_cast<const char *>(reply);
    if (f.split && length >= 2) {
        std::size_t half = length / 2;
        f.bursts.emplace_back(text, half);
        f.bursts.emplace_back(text + half, length - half);
    } else {
        f.bursts.emplace_back(text, length);
    }
}

void hang_up() {
    FakeLink &f = fake();
    f.hung_up = true;
    f.bursts.clear();
}

void feed_unit(const QtbInputUnit &unit) {
    FakeLink &f = fake();
    char name[32];
    qtb_unit_name(&unit, name, sizeof name);
    f.keys.push_back(name);
    static unsigned char reply[QTB_REPLY_MAX];
    std::size_t length = qtb_model_key(&f.model, unit.bytes, unit.count, reply, sizeof reply);
    if (f.hangup_after == 0) {
        hang_up();
        return;
    }
    queue_reply(reply, length);
    if (f.hangup_after > 0 && f.model.keys >= f.hangup_after) {
        hang_up();
    }
}

} // namespace

void fake_link_reset(const QtbOptions &options) {
    FakeLink &f = fake();
    f = FakeLink();
    qtb_model_init(&f.model, &options);
    qtb_scanner_init(&f.scanner);
}

void fake_link_reset() {
    static QtbOptions options;
    qtb_default_options(&options);
    fake_link_reset(options);
}

QtbModel &fake_link_model() {
    return fake().model;
}

void fake_link_fail(FakeLinkStep step, bool fail) {
    fake().fail[step] = fail;
}

void fake_link_split_replies(bool split) {
    fake().split = split;
}

void fake_link_hangup_after(long keys) {
    fake().hangup_after = keys;
}

const std::vector<std::string> &fake_link_keys() {
    return fake().keys;
}

long fake_link_receive_count() {
    return fake().receives;
}

long fake_link_nonempty_receive_count() {
    return fake().nonempty_receives;
}

const std::vector<std::string> &fake_link_calls() {
    return fake().calls;
}

const std::vector<std::string> &fake_link_misuse() {
    return fake().misuse;
}

FakeLinkState fake_link_state() {
    FakeLink &f = fake();
    std::size_t queued = 0;
    for (const std::string &burst : f.bursts) {
        queued += burst.size();
    }
    bool events = f.receive_slot != nullptr && f.receive_slot->ready;
    return FakeLinkState{f.open, f.configured, f.restored, events, f.hung_up, queued};
}

// ---------------------------------------------------------------------------
// serial_link.h

PortHandle open_port(const char *name) {
    FakeLink &f = fake();
    bool failed = f.fail[FAKE_OPEN_PORT] || f.open || name == nullptr;
    record_call(std::string("open_port ") + (name != nullptr ? name : "(null)"), failed);
    if (failed) {
        return nullptr; // a second open of an exclusive port is refused too
    }
    f.open = true;
    f.configured = false;
    f.restored = false;
    return &f.port;
}

int save_port_settings(PortHandle port, PortSnapshot *snapshot) {
    FakeLink &f = fake();
    bool failed = f.fail[FAKE_SAVE_SETTINGS];
    record_call("save_port_settings", failed);
    if (!check_port(port, "save_port_settings") || failed) {
        return -1;
    }
    if (f.configured) {
        record_misuse("save_port_settings after configure_port: the snapshot is not the "
                      "port's own settings");
    }
    std::memset(snapshot->saved, 0, sizeof snapshot->saved);
    std::memcpy(snapshot->saved, SNAPSHOT_MARK, sizeof SNAPSHOT_MARK);
    return 0;
}

int configure_port(PortHandle port) {
    FakeLink &f = fake();
    bool failed = f.fail[FAKE_CONFIGURE_PORT];
    record_call("configure_port", failed);
    if (!check_port(port, "configure_port") || failed) {
        return -1;
    }
    f.configured = true;
    f.restored = false;
    return 0;
}

int restore_port_settings(PortHandle port, const PortSnapshot *snapshot) {
    FakeLink &f = fake();
    bool failed = f.fail[FAKE_RESTORE_SETTINGS];
    record_call("restore_port_settings", failed);
    if (!check_port(port, "restore_port_settings") || failed) {
        return -1;
    }
    if (std::memcmp(snapshot->saved, SNAPSHOT_MARK, sizeof SNAPSHOT_MARK) != 0) {
        record_misuse("restore_port_settings from a snapshot save_port_settings did not fill");
        return 0;
    }
    f.restored = true;
    f.configured = false;
    return 0;
}

int create_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot) {
    FakeLink &f = fake();
    bool failed = f.fail[FAKE_CREATE_EVENTS];
    record_call("create_transfer_events", failed);
    if (receive_slot == nullptr || send_slot == nullptr || receive_slot == send_slot) {
        record_misuse("create_transfer_events needs two distinct slots");
        return -1;
    }
    if (failed) {
        return -1;
    }
    std::memset(receive_slot->state, 0, sizeof receive_slot->state);
    std::memset(send_slot->state, 0, sizeof send_slot->state);
    receive_slot->ready = true;
    send_slot->ready = true;
    f.receive_slot = receive_slot;
    f.send_slot = send_slot;
    return 0;
}

int close_port(PortHandle port) {
    FakeLink &f = fake();
    record_call("close_port", false);
    if (check_port(port, "close_port")) {
        f.open = false;
        f.bursts.clear();
    }
    return 0;
}

int close_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot) {
    record_call("close_transfer_events", false);
    FakeLink &f = fake();
    if (receive_slot != nullptr) {
        receive_slot->ready = false;
    }
    if (send_slot != nullptr) {
        send_slot->ready = false;
    }
    // The caller's slots may go out of scope after this: forget them.
    if (receive_slot == f.receive_slot) {
        f.receive_slot = nullptr;
    }
    if (send_slot == f.send_slot) {
        f.send_slot = nullptr;
    }
    return 0;
}

int send_text(PortHandle port, TransferSlot *send_slot, const void *bytes, std::size_t count) {
    FakeLink &f = fake();
    if (!check_port(port, "send_text")) {
        return -1;
    }
    if (send_slot == nullptr || send_slot != f.send_slot || !send_slot->ready) {
        record_misuse("send_text without the send slot of create_transfer_events");
        return -1;
    }
    if (!f.configured) {
        record_misuse("send_text on a port that is not configured");
    }
    if (f.hung_up) {
        return -1;
    }
    const unsigned char *data = static_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < count; ++i) {
        QtbInputUnit units[2];
        int made = qtb_scanner_feed(&f.scanner, data[i], units);
        for (int u = 0; u < made; ++u) {
            feed_unit(units[u]);
        }
    }
    // A terminal sends a key in one go: a sequence left incomplete at the
    // end of a send is taken as it stands, as the device would after a pause.
    QtbInputUnit unit;
    if (qtb_scanner_flush(&f.scanner, &unit) == 1) {
        feed_unit(unit);
    }
    return 0;
}

std::size_t receive_reply(PortHandle port, TransferSlot *receive_slot, void *buffer,
                          std::size_t capacity) {
    FakeLink &f = fake();
    f.receives += 1;
    if (!check_port(port, "receive_reply")) {
        return 0;
    }
    if (receive_slot == nullptr || receive_slot != f.receive_slot || !receive_slot->ready) {
        record_misuse("receive_reply without the receive slot of create_transfer_events");
        return 0;
    }
    if (f.hung_up || f.bursts.empty() || capacity == 0) {
        return 0;
    }
    std::string &burst = f.bursts.front();
    std::size_t n = burst.size() < capacity ? burst.size() : capacity;
    std::memcpy(buffer, burst.data(), n);
    if (n == burst.size()) {
        f.bursts.pop_front();
    } else {
        burst.erase(0, n);
    }
    f.nonempty_receives += 1;
    return n;
}

// qtb_model.h - a software QTB: the device's console menus as a pure model.
//
// Principles of operation
// -----------------------
// The QTB is configured through a full-screen menu on its serial console. An
// operator moves with the four cursor keys, each of which the terminal sends
// as three bytes: ESC [ A (UP), ESC [ B (DOWN), ESC [ C (RIGHT), ESC [ D
// (LEFT). The device answers every cursor key with a screen paint. Bytes that
// are not one of these four sequences are ignored: no state change, no
// answer. (Ignoring them also keeps a misconfigured host line that echoes
// the device's own paints back at it from turning into an endless exchange.)
//
// This model is the device's menu logic and nothing else: it takes one key,
// changes its state and returns the bytes the device would paint. It does no
// I/O and knows nothing about line speed or time; qtb-sim puts it on a
// pseudo-terminal or a TCP socket, the in-process fake link of the tests
// feeds it directly.
//
// The menus. The device draws its lists bottom-up, in the order the channel
// ports sit on its rear panel: entry 1 at the bottom. UP therefore moves to
// the next higher entry and DOWN to the next lower one.
//
//   Main menu. Five entries, top to bottom:
//       System Information, Line Statistics, Date and Time,
//       Channel Configuration, Diagnostics
//     The cursor starts on System Information. DOWN/UP move one entry and
//     stop at the ends (a key that cannot move is answered with BEL).
//     LEFT repaints the whole main menu (the operator's "refresh").
//     RIGHT opens the entry under the cursor. Channel Configuration opens the
//     channel list, unless the device is locked: then the menu stays and the
//     status line says "Privileged access required". The other entries open
//     an information page, which any LEFT closes (other keys: BEL).
//
//   Channel list. Channels 8 (top row) down to 1 (bottom row). The cursor
//     starts on channel 8. DOWN moves to the next lower channel and stops at
//     channel 1; UP to the next higher one and stops at channel 8. RIGHT
//     opens the setup screen of the channel under the cursor. LEFT returns to
//     the main menu (repainted, cursor on Channel Configuration).
//
//   Channel setup screen. The channel's sixteen fields, drawn from field 15
//     (top row) down to field 0 (bottom row), in the field order of
//     qtb_field_labels. The cursor starts on field 0, "Channel Type". The
//     fields form a ring: DOWN moves to the next lower row and from the
//     bottom row wraps to the top (field i -> i-1, 0 -> 15); UP moves to the
//     next higher row and from the top wraps to the bottom (i -> i+1,
//     15 -> 0). Every move paints the field now under the cursor (below).
//     LEFT returns to the channel list, cursor still on this channel. RIGHT
//     (edit) is not offered from this console: BEL.
//
// A backup tool's walk therefore reads: ten LEFTs (main menu, whatever screen
// it was on), ten DOWNs (bottom entry), UP (Channel Configuration), RIGHT
// (channel list), ten DOWNs (channel 1); per channel RIGHT (setup screen on
// Channel Type), sixteen DOWNs (once round the ring, the last one painting
// Channel Type), fifteen UPs (fields 1 to 15), LEFT (channel list), UP (next
// channel); finally LEFT, LEFT (main menu).
//
// Field paint. A move on the setup screen paints the field under the cursor
// as:
//     ESC "[0m"                              attribute reset
//     ESC "[rr;02H" 7 spaces  label text     label: 14-character prefix
//     ESC "[rr;cc" "H"  value text           once per value piece
//     ESC "[K"                               erase the rest of the line
// where rr is the field's row (two digits) and cc the value's column (two
// digits). "Signal Polarity DCE" has 8 value pieces (one per interchange
// circuit), "Signal Polarity DTE" 9, every other field 1. Values never contain
// ESC, NUL, CR or LF; any other byte, 8-bit ones included, goes out as is.
//
// Backup text. A complete backup of the device (the file QTB.CFG) holds, for
// channel 1 to 8: the line "**************** CHANNEL n CONFIGURATION
// ***************", sixteen lines "<label> = <values run together>", a line
// of 56 asterisks and an empty line; every line ends in CR LF. Loading such a
// text back cannot split a multi-value field into its pieces again, so its
// whole text goes into the first value piece and the others are left empty;
// the paints then reproduce the file byte for byte.
//
// Faults. For tests, the options can make the device locked, paint a wrong
// but plausible label at one channel/field, cut the paint of one
// channel/field off before its label (a move onto that field is answered
// with the attribute reset ESC "[0m" alone, as a paint whose rest the line
// lost), stay silent (from the start or after some keys), drop the reply to
// chosen keys, or answer with seeded, reproducible garbage instead of
// screens. Faults of line timing (pacing, split bursts, hang-ups) belong to
// whoever carries the bytes, not here.
#ifndef QTB_MODEL_H
#define QTB_MODEL_H

#include <cstddef>
#include <cstdint>

constexpr int QTB_CHANNELS = 8;
constexpr int QTB_FIELDS = 16;
constexpr int QTB_MAX_VALUE_PIECES = 9;
// Room for one value piece, terminating zero included.
constexpr std::size_t QTB_VALUE_MAX = 80;
// Largest reply the model produces (garbage replies go up to 3,000 bytes).
constexpr std::size_t QTB_REPLY_MAX = 4096;
// Largest backup text the model can produce, terminating zero included.
constexpr std::size_t QTB_BACKUP_MAX = 32768;
constexpr int QTB_MAX_DROPS = 32;

// The labels of a channel's setup fields, field 0 to 15.
extern const char *const qtb_field_labels[QTB_FIELDS];

// Number of value pieces field `field` paints: 8, 9 or 1.
int qtb_value_pieces(int field);

// The displayed value of every piece of every field of every channel,
// indexed [channel - 1][field][piece]; each a zero-terminated text. Pieces at
// or beyond qtb_value_pieces(field) are unused and stay empty.
struct QtbValues {
    char value[QTB_CHANNELS][QTB_FIELDS][QTB_MAX_VALUE_PIECES][QTB_VALUE_MAX];
};

struct QtbOptions {
    QtbValues values;
    bool locked;                    // entering Channel Configuration is refused
    int wrong_label_channel;        // 1..8, or 0 for none
    int wrong_label_field;          // 0..15, with wrong_label_channel
    int no_label_channel;           // 1..8, or 0 for none
    int no_label_field;             // 0..15, with no_label_channel
    bool silent;                    // never answers
    long silent_after;              // answers the first N keys only; -1: no limit
    long drop_reply[QTB_MAX_DROPS]; // 1-based key numbers that get no reply
    int drop_count;
    bool garbage; // seeded garbage instead of screens
    std::uint64_t garbage_seed;
};

enum QtbScreen { QTB_MAIN_MENU, QTB_INFO_PAGE, QTB_CHANNEL_LIST, QTB_CHANNEL_SETUP };

// The device's state. Plain data; copy it to snapshot a device.
struct QtbModel {
    QtbOptions options;
    QtbScreen screen;
    int menu_entry; // main menu cursor, 0 (top) .. 4 (bottom)
    int channel;    // channel list cursor, 1 .. 8
    int field;      // setup screen cursor, 0 .. 15
    long keys;      // cursor keys received so far
    std::uint64_t rng;
};

// The factory settings of the eight channels (some values carry trailing
// spaces, one an 8-bit byte).
void qtb_default_values(QtbValues *values);

// Default values, no faults.
void qtb_default_options(QtbOptions *options);

// A device just switched on with these options: main menu, cursor on the top
// entry, no keys received.
void qtb_model_init(QtbModel *model, const QtbOptions *options);

enum QtbKey { QTB_KEY_UP, QTB_KEY_DOWN, QTB_KEY_RIGHT, QTB_KEY_LEFT, QTB_KEY_NONE };

// Which cursor key these bytes are: exactly ESC [ A/B/C/D, else QTB_KEY_NONE.
QtbKey qtb_classify(const unsigned char *bytes, std::size_t count);

// Feeds the device one unit of input (as cut by the key scanner below) and
// writes its answer to reply[0 .. capacity). Returns the number of reply
// bytes, 0 when the device does not answer (input that is not a cursor key,
// silence, a dropped reply, an empty garbage reply). A reply longer than
// capacity is cut at capacity; QTB_REPLY_MAX always suffices. No I/O.
std::size_t qtb_model_key(QtbModel *model, const unsigned char *bytes, std::size_t count,
                          unsigned char *reply, std::size_t capacity);

// The exact text of QTB.CFG that a correct full backup of this device gives:
// labels as the device paints them (a wrong-label fault shows), values run
// together. A no-label fault does not show: no correct backup of a device
// with one exists. Written to out with a terminating zero; returns its length, or 0
// when it does not fit in capacity (QTB_BACKUP_MAX always suffices).
std::size_t qtb_backup_text(const QtbModel *model, char *out, std::size_t capacity);

// Reads a backup text (the format above, exactly: CR LF line ends, labels in
// order, nothing before or after the eight blocks) into values. Returns 0, or
// -1 with a one-line explanation naming the line in error (never longer than
// error_capacity, zero-terminated); values then holds a partial load.
int qtb_parse_values(const char *text, std::size_t length, QtbValues *values, char *error,
                     std::size_t error_capacity);

// qtb_parse_values on the contents of a file. The error names the file.
int qtb_load_values(const char *path, QtbValues *values, char *error, std::size_t error_capacity);

// Cuts a byte stream into input units: the three bytes of ESC [ X; an ESC
// [ followed by anything else (ESC aside) as one three-byte unit; any other
// byte, or an ESC (or ESC [) that a different byte interrupts, on its own.
// Keys split across reads are joined; several keys in one read are
// separated.
struct QtbKeyScanner {
    unsigned char pending[3];
    std::size_t count;
};
struct QtbInputUnit {
    unsigned char bytes[3];
    std::size_t count;
};

void qtb_scanner_init(QtbKeyScanner *scanner);

// Adds one byte. Writes the units it completes to units (at most 2) and
// returns how many.
int qtb_scanner_feed(QtbKeyScanner *scanner, unsigned char byte, QtbInputUnit units[2]);

// Gives up waiting for the rest of a sequence: the pending bytes, if any,
// become one unit. Returns 1 and fills unit, or 0 when nothing was pending.
int qtb_scanner_flush(QtbKeyScanner *scanner, QtbInputUnit *unit);

// How a unit appears in a key log: "UP", "DOWN", "RIGHT", "LEFT", or
// "BYTES" and the bytes in two-digit lower-case hex ("BYTES 1b 5b 5a").
// out needs 20 bytes.
void qtb_unit_name(const QtbInputUnit *unit, char *out, std::size_t capacity);

#endif

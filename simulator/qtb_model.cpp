// qtb_model.cpp - the QTB's console menus; see qtb_model.h for the device.
#include "qtb_model.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

const char *const qtb_field_labels[QTB_FIELDS] = {
    "Channel Type",   "BitEncoding",         "BitOrder",
    "Sync Length",    "Sync Pattern",        "Strip Sync",
    "Frame Length",   "Strip/Insert Bit",    "Clock Source",
    "Sync Speed",     "Idle State",          "Checksum Mode",
    "Async Baudrate", "Signal Polarity DCE", "Signal Polarity DTE",
    "Channel Mode",
};

// What another firmware release, or a different device on the same port,
// might paint in the same place: near misses a label check must catch.
static const char *const wrong_labels[QTB_FIELDS] = {
    "Channel type",   "Bit Encoding",        "Bit Order",           "Sync Len",
    "Sync Char",      "Strip Syncs",         "Max Frame Length",    "Bit Stuffing",
    "Clock Mode",     "Line Speed",          "Idle Pattern",        "CRC Mode",
    "Async BaudRate", "Signal Polarity DTE", "Signal Polarity DCE", "Channel State",
};

int qtb_value_pieces(int field) {
    if (field == 13) {
        return 8;
    }
    if (field == 14) {
        return 9;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Factory settings

struct ChannelDefaults {
    const char *single[QTB_FIELDS]; // fields 13 and 14 are taken from dce/dte
    const char *dce;                // one character per circuit
    const char *dte;
};

// Fixed-width fields such as Channel Mode are padded with spaces on the
// device's screen, and the padding is part of what it paints.
static const ChannelDefaults channel_defaults[QTB_CHANNELS] = {
    {{"HDLC", "NRZ", "LSB First", "8", "7E", "Yes", "1024", "Yes", "Internal", "64000", "Flags",
      "CRC-CCITT", "9600", nullptr, nullptr, "Normal  "},
     "NNNNNNNN",
     "NNNNNNNNN"},
    {{"HDLC", "NRZI", "LSB First", "8", "7E", "Yes", "2048", "Yes", "External", "128000", "Flags",
      "CRC-CCITT", "9600", nullptr, nullptr, "Normal  "},
     "NNNNNNNN",
     "NNNNNNNNN"},
    {{"SDLC", "NRZI", "LSB First", "8", "7E", "Yes", "512", "Yes", "Ext 180\xB0", "19200", "Mark",
      "CRC-16", "9600", nullptr, nullptr, "Normal  "},
     "NNNNNNNN",
     "NNINNNNNN"},
    {{"Async", "NRZ", "LSB First", "0", "00", "No", "256", "No", "Internal", "0", "Mark", "None",
      "19200", nullptr, nullptr, "Normal  "},
     "NNNNNNNN",
     "NNNNNNNNN"},
    {{"BSC", "NRZ", "MSB First", "16", "3232", "Yes", "512", "No", "External", "9600", "Sync",
      "CRC-16", "9600", nullptr, nullptr, "Loopback"},
     "NNNINNNN",
     "NNNNNNNNN"},
    {{"HDLC", "FM0", "LSB First", "8", "7E", "Yes", "4096", "Yes", "Ext 180\xB0", "256000", "Ones",
      "CRC-32", "9600", nullptr, nullptr, "Normal  "},
     "NNNNNNNN",
     "NINNNNNNN"},
    {{"Async", "NRZ", "LSB First", "0", "00", "No", "128", "No", "Internal", "0", "Mark", "None",
      "38400", nullptr, nullptr, "Normal  "},
     "NNNNNNNN",
     "NNNNNNNNN"},
    {{"Unused  ", "NRZ", "LSB First", "8", "7E", "Yes", "1024", "Yes", "Internal", "64000", "Flags",
      "CRC-CCITT", "9600", nullptr, nullptr, "Disabled"},
     "NNNNNNNN",
     "NNNNNNNNN"},
};

static void set_value(char *dst, const char *src) {
    std::snprintf(dst, QTB_VALUE_MAX, "%s", src);
}

void qtb_default_values(QtbValues *values) {
    std::memset(values, 0, sizeof *values);
    for (int c = 0; c < QTB_CHANNELS; ++c) {
        const ChannelDefaults &d = channel_defaults[c];
        for (int f = 0; f < QTB_FIELDS; ++f) {
            if (f == 13 || f == 14) {
                const char *circuits = f == 13 ? d.dce : d.dte;
                for (int p = 0; p < qtb_value_pieces(f); ++p) {
                    values->value[c][f][p][0] = circuits[p];
                }
            } else {
                set_value(values->value[c][f][0], d.single[f]);
            }
        }
    }
}

void qtb_default_options(QtbOptions *options) {
    std::memset(options, 0, sizeof *options);
    qtb_default_values(&options->values);
    options->silent_after = -1;
}

void qtb_model_init(QtbModel *model, const QtbOptions *options) {
    std::memset(model, 0, sizeof *model);
    model->options = *options;
    model->screen = QTB_MAIN_MENU;
    model->menu_entry = 0;
    model->channel = QTB_CHANNELS;
    model->field = 0;
    model->keys = 0;
    model->rng = options->garbage_seed ^ 0x51B7C0DE5EEDULL;
}

QtbKey qtb_classify(const unsigned char *bytes, std::size_t count) {
    if (count != 3 || bytes[0] != 0x1B || bytes[1] != '[') {
        return QTB_KEY_NONE;
    }
    switch (bytes[2]) {
    case 'A':
        return QTB_KEY_UP;
    case 'B':
        return QTB_KEY_DOWN;
    case 'C':
        return QTB_KEY_RIGHT;
    case 'D':
        return QTB_KEY_LEFT;
    default:
        return QTB_KEY_NONE;
    }
}

// ---------------------------------------------------------------------------
// Building replies

// A reply under construction. Appends past the capacity are dropped and
// counted, so the caller can see a cut reply.
struct Paint {
    unsigned char *bytes;
    std::size_t capacity;
    std::size_t length;
};

static void put_bytes(Paint *p, const void *data, std::size_t n) {
    const unsigned char *src = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < n; ++i) {
        if (p->length < p->capacity) {
            p->bytes[p->length++] = src[i];
        }
    }
}

static void put(Paint *p, const char *text) {
    put_bytes(p, text, std::strlen(text));
}

static void put_at(Paint *p, int row, int column) {
    char seq[32]; // rows and columns are two digits; room for any int
    std::snprintf(seq, sizeof seq, "\x1b[%02d;%02dH", row, column);
    put(p, seq);
}

// A value cut or padded to a fixed width, as in a summary column.
static void put_column(Paint *p, const char *text, std::size_t width) {
    std::size_t n = std::strlen(text);
    if (n > width) {
        n = width;
    }
    put_bytes(p, text, n);
    for (std::size_t i = n; i < width; ++i) {
        put(p, " ");
    }
}

static const char *const menu_entries[5] = {
    "System Information",    "Line Statistics", "Date and Time",
    "Channel Configuration", "Diagnostics",
};
constexpr int MENU_ENTRIES = 5;
constexpr int CHANNEL_CONFIGURATION = 3;
constexpr int MENU_TOP_ROW = 6;
constexpr int LIST_TOP_ROW = 6;  // channel 8
constexpr int SETUP_TOP_ROW = 5; // field 15
constexpr int VALUE_COLUMN = 30;

static const char BEL[] = "\a";

static void put_title(Paint *p, const char *title) {
    put(p, "\x1b[0m\x1b[2J\x1b[H");
    put_at(p, 1, 1);
    put(p, "QTB Configuration Console");
    put_at(p, 2, 1);
    put(p, title);
}

static void put_footer(Paint *p) {
    put_at(p, 22, 1);
    put(p, "UP/DOWN select   RIGHT open   LEFT back");
    put(p, "\x1b[K");
    put_at(p, 24, 1);
}

static void put_menu_entry(Paint *p, int entry, bool selected) {
    put_at(p, MENU_TOP_ROW + entry, 10);
    if (selected) {
        put(p, "\x1b[7m");
    }
    put(p, menu_entries[entry]);
    if (selected) {
        put(p, "\x1b[0m");
    }
}

static void paint_main_menu(const QtbModel *m, Paint *p) {
    put_title(p, "Main Menu");
    for (int e = 0; e < MENU_ENTRIES; ++e) {
        put_menu_entry(p, e, e == m->menu_entry);
    }
    put_footer(p);
}

static int channel_row(int channel) {
    return LIST_TOP_ROW + (QTB_CHANNELS - channel);
}

static void put_channel_row(const QtbModel *m, Paint *p, int channel, bool selected) {
    const QtbValues &v = m->options.values;
    char name[16];
    std::snprintf(name, sizeof name, "Channel %d   ", channel);
    put_at(p, channel_row(channel), 10);
    if (selected) {
        put(p, "\x1b[7m");
    }
    put(p, name);
    put_column(p, v.value[channel - 1][0][0], 10);
    put(p, " ");
    put_column(p, v.value[channel - 1][15][0], 10);
    if (selected) {
        put(p, "\x1b[0m");
    }
}

static void paint_channel_list(const QtbModel *m, Paint *p) {
    put_title(p, "Channel Configuration");
    for (int c = QTB_CHANNELS; c >= 1; --c) {
        put_channel_row(m, p, c, c == m->channel);
    }
    put_footer(p);
}

static int field_row(int field) {
    return SETUP_TOP_ROW + (QTB_FIELDS - 1 - field);
}

// The paint of one field, in the form a backup tool reads: attribute reset,
// label behind a 14-character prefix, each value behind its cursor position,
// erase to end of line.
static void paint_field_as(const QtbModel *m, Paint *p, int channel, int field, const char *label) {
    int row = field_row(field);
    put(p, "\x1b[0m");
    put_at(p, row, 2);
    put(p, "       "); // pads the cursor position to 14 characters
    put(p, label);
    for (int piece = 0; piece < qtb_value_pieces(field); ++piece) {
        put_at(p, row, VALUE_COLUMN + 4 * piece);
        put(p, m->options.values.value[channel - 1][field][piece]);
    }
    put(p, "\x1b[K");
}

static const char *painted_label(const QtbOptions *o, int channel, int field) {
    if (o->wrong_label_channel == channel && o->wrong_label_field == field) {
        return wrong_labels[field];
    }
    return qtb_field_labels[field];
}

static void paint_field(const QtbModel *m, Paint *p) {
    paint_field_as(m, p, m->channel, m->field, painted_label(&m->options, m->channel, m->field));
}

static void paint_setup_screen(const QtbModel *m, Paint *p) {
    char title[40];
    std::snprintf(title, sizeof title, "Channel %d Setup", m->channel);
    put_title(p, title);
    for (int f = QTB_FIELDS - 1; f >= 0; --f) {
        put_at(p, field_row(f), 9);
        put(p, painted_label(&m->options, m->channel, f));
    }
    put_footer(p);
    paint_field(m, p);
}

static const char *const info_lines[MENU_ENTRIES][2] = {
    {"Firmware 4.12   Channels 8   Uptime 41 days", "Console 9600 8N1"},
    {"All channels: no errors since last reset", "Press LEFT to return"},
    {"Clock not set", "Press LEFT to return"},
    {"", ""},
    {"Self test passed", "Press LEFT to return"},
};

static void paint_info_page(const QtbModel *m, Paint *p) {
    put_title(p, menu_entries[m->menu_entry]);
    put_at(p, 6, 10);
    put(p, info_lines[m->menu_entry][0]);
    put_at(p, 7, 10);
    put(p, info_lines[m->menu_entry][1]);
    put_footer(p);
}

// The device's menu logic: one key, one state change, one paint.
static void menu_key(QtbModel *m, QtbKey key, Paint *p) {
    switch (m->screen) {
    case QTB_MAIN_MENU:
        if (key == QTB_KEY_LEFT) {
            paint_main_menu(m, p);
        } else if (key == QTB_KEY_DOWN || key == QTB_KEY_UP) {
            int next = m->menu_entry + (key == QTB_KEY_DOWN ? 1 : -1);
            if (next < 0 || next >= MENU_ENTRIES) {
                put(p, BEL);
                return;
            }
            put_menu_entry(p, m->menu_entry, false);
            m->menu_entry = next;
            put_menu_entry(p, m->menu_entry, true);
        } else if (m->menu_entry != CHANNEL_CONFIGURATION) {
            m->screen = QTB_INFO_PAGE;
            paint_info_page(m, p);
        } else if (m->options.locked) {
            put_at(p, 23, 1);
            put(p, "\x1b[7mPrivileged access required\x1b[0m\x1b[K");
        } else {
            m->screen = QTB_CHANNEL_LIST;
            m->channel = QTB_CHANNELS;
            paint_channel_list(m, p);
        }
        return;
    case QTB_INFO_PAGE:
        if (key == QTB_KEY_LEFT) {
            m->screen = QTB_MAIN_MENU;
            paint_main_menu(m, p);
        } else {
            put(p, BEL);
        }
        return;
    case QTB_CHANNEL_LIST:
        if (key == QTB_KEY_LEFT) {
            m->screen = QTB_MAIN_MENU;
            paint_main_menu(m, p);
        } else if (key == QTB_KEY_RIGHT) {
            m->screen = QTB_CHANNEL_SETUP;
            m->field = 0;
            paint_setup_screen(m, p);
        } else {
            int next = m->channel + (key == QTB_KEY_UP ? 1 : -1);
            if (next < 1 || next > QTB_CHANNELS) {
                put(p, BEL);
                return;
            }
            put_channel_row(m, p, m->channel, false);
            m->channel = next;
            put_channel_row(m, p, m->channel, true);
        }
        return;
    case QTB_CHANNEL_SETUP:
        if (key == QTB_KEY_LEFT) {
            m->screen = QTB_CHANNEL_LIST;
            paint_channel_list(m, p);
        } else if (key == QTB_KEY_RIGHT) {
            put(p, BEL);
        } else {
            m->field = (m->field + (key == QTB_KEY_UP ? 1 : QTB_FIELDS - 1)) % QTB_FIELDS;
            if (m->options.no_label_channel == m->channel &&
                m->options.no_label_field == m->field) {
                put(p, "\x1b[0m"); // the rest of the paint lost on the line
            } else {
                paint_field(m, p);
            }
        }
        return;
    }
}

// ---------------------------------------------------------------------------
// Garbage

static std::uint64_t next_random(std::uint64_t *state) {
    // splitmix64: small, fast and the same on every platform.
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

static std::size_t random_below(std::uint64_t *state, std::size_t bound) {
    return static_cast<std::size_t>(next_random(state) % bound);
}

// One garbage reply in place of the screen paint in p (which the menu logic
// has already produced, so the device's state still follows the keys). Empty
// replies are kept rare enough that about half of all runs get past a tool's
// ten probe keys and on to its reading of field paints.
static void garbage_reply(QtbModel *m, Paint *p) {
    std::uint64_t *r = &m->rng;
    Paint g = {p->bytes, p->capacity, 0};
    std::size_t kind = random_below(r, 16);
    if (kind == 0) {        // nothing at all
    } else if (kind <= 2) { // mostly NUL bytes
        std::size_t n = 1 + random_below(r, 200);
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char b = random_below(r, 2) ? 0 : static_cast<unsigned char>(next_random(r));
            put_bytes(&g, &b, 1);
        }
    } else if (kind <= 4) { // an ESC storm: runs of ESC, '[' and digits
        static const char storm[] = "\x1b\x1b\x1b\x1b[[;0123456789H";
        std::size_t n = 1 + random_below(r, 600);
        for (std::size_t i = 0; i < n; ++i) {
            put_bytes(&g, &storm[random_below(r, sizeof storm - 1)], 1);
        }
    } else if (kind <= 7) {
        // Random bytes, 0 to 3,000 of them; one time in three more than a
        // receive holds, so the rest queues ahead of the next reply.
        std::size_t n = kind == 7 ? 2049 + random_below(r, 952) : random_below(r, 3001);
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char b = static_cast<unsigned char>(next_random(r));
            put_bytes(&g, &b, 1);
        }
    } else if (kind <= 11) { // a plausible field paint, under a wrong label half the time
        int field = static_cast<int>(random_below(r, QTB_FIELDS));
        int channel = 1 + static_cast<int>(random_below(r, QTB_CHANNELS));
        paint_field_as(m, &g, channel, field,
                       kind <= 9 ? wrong_labels[field] : qtb_field_labels[field]);
    } else { // the real screen
        return;
    }
    *p = g;
}

std::size_t qtb_model_key(QtbModel *model, const unsigned char *bytes, std::size_t count,
                          unsigned char *reply, std::size_t capacity) {
    QtbKey key = qtb_classify(bytes, count);
    if (key == QTB_KEY_NONE) {
        return 0;
    }
    model->keys += 1;
    Paint p = {reply, capacity, 0};
    menu_key(model, key, &p);
    const QtbOptions &o = model->options;
    if (o.garbage) {
        garbage_reply(model, &p);
    }
    if (o.silent || (o.silent_after >= 0 && model->keys > o.silent_after)) {
        return 0;
    }
    for (int i = 0; i < o.drop_count; ++i) {
        if (o.drop_reply[i] == model->keys) {
            return 0;
        }
    }
    return p.length;
}

// ---------------------------------------------------------------------------
// Backup text

static const char CRLF[] = "\r\n";
static const char CLOSING_LINE[] = "********************************************************";

static void channel_header(char *out, std::size_t capacity, int channel) {
    std::snprintf(out, capacity, "**************** CHANNEL %d CONFIGURATION ***************",
                  channel);
}

std::size_t qtb_backup_text(const QtbModel *model, char *out, std::size_t capacity) {
    Paint p = {reinterpret_cast<unsigned char *>(out), capacity, 0};
    for (int c = 1; c <= QTB_CHANNELS; ++c) {
        char header[80];
        channel_header(header, sizeof header, c);
        put(&p, header);
        put(&p, CRLF);
        for (int f = 0; f < QTB_FIELDS; ++f) {
            put(&p, painted_label(&model->options, c, f));
            put(&p, " = ");
            for (int piece = 0; piece < qtb_value_pieces(f); ++piece) {
                put(&p, model->options.values.value[c - 1][f][piece]);
            }
            put(&p, CRLF);
        }
        put(&p, CLOSING_LINE);
        put(&p, CRLF);
        put(&p, CRLF);
    }
    if (p.length >= capacity) {
        if (capacity > 0) {
            out[0] = '\0';
        }
        return 0;
    }
    out[p.length] = '\0';
    return p.length;
}

// ---------------------------------------------------------------------------
// Loading a backup text

struct TextCursor {
    const char *text;
    std::size_t length;
    std::size_t at;
    int line; // 1-based number of the line at `at`
};

// Takes the next line, without its CR LF. Fails when the text ends before a
// CR LF, or when the line holds a CR or LF of its own.
static bool next_line(TextCursor *t, const char **line, std::size_t *line_length) {
    std::size_t start = t->at;
    for (std::size_t i = start; i < t->length; ++i) {
        char ch = t->text[i];
        if (ch == '\r' && i + 1 < t->length && t->text[i + 1] == '\n') {
            *line = t->text + start;
            *line_length = i - start;
            t->at = i + 2;
            return true;
        }
        if (ch == '\r' || ch == '\n') {
            return false;
        }
    }
    return false;
}

static bool line_is(const char *line, std::size_t length, const char *expected) {
    return length == std::strlen(expected) && std::memcmp(line, expected, length) == 0;
}

static int fail(TextCursor *t, char *error, std::size_t capacity, const char *what) {
    std::snprintf(error, capacity, "line %d: %s", t->line, what);
    return -1;
}

int qtb_parse_values(const char *text, std::size_t length, QtbValues *values, char *error,
                     std::size_t error_capacity) {
    std::memset(values, 0, sizeof *values);
    TextCursor t = {text, length, 0, 1};
    char what[160];
    const char *line = nullptr;
    std::size_t n = 0;
    for (int c = 1; c <= QTB_CHANNELS; ++c) {
        char header[80];
        channel_header(header, sizeof header, c);
        if (!next_line(&t, &line, &n) || !line_is(line, n, header)) {
            std::snprintf(what, sizeof what, "expected the line \"%s\" ending in CR LF", header);
            return fail(&t, error, error_capacity, what);
        }
        t.line += 1;
        for (int f = 0; f < QTB_FIELDS; ++f) {
            char prefix[40];
            std::snprintf(prefix, sizeof prefix, "%s = ", qtb_field_labels[f]);
            std::size_t prefix_length = std::strlen(prefix);
            if (!next_line(&t, &line, &n)) {
                std::snprintf(what, sizeof what,
                              "expected \"%s<value>\" ending in CR LF (channel %d)", prefix, c);
                return fail(&t, error, error_capacity, what);
            }
            if (n < prefix_length || std::memcmp(line, prefix, prefix_length) != 0) {
                std::snprintf(what, sizeof what, "expected a line starting \"%s\" (channel %d)",
                              prefix, c);
                return fail(&t, error, error_capacity, what);
            }
            const char *value = line + prefix_length;
            std::size_t value_length = n - prefix_length;
            if (value_length >= QTB_VALUE_MAX) {
                std::snprintf(what, sizeof what, "value of \"%s\" longer than %zu bytes",
                              qtb_field_labels[f], QTB_VALUE_MAX - 1);
                return fail(&t, error, error_capacity, what);
            }
            for (std::size_t i = 0; i < value_length; ++i) {
                if (value[i] == '\0' || value[i] == '\x1b') {
                    std::snprintf(what, sizeof what,
                                  "value of \"%s\" holds a %s byte, which the device cannot paint",
                                  qtb_field_labels[f], value[i] == '\0' ? "NUL" : "ESC");
                    return fail(&t, error, error_capacity, what);
                }
            }
            // A multi-value field cannot be split again: the whole text goes
            // into its first piece, the others stay empty.
            std::memcpy(values->value[c - 1][f][0], value, value_length);
            values->value[c - 1][f][0][value_length] = '\0';
            t.line += 1;
        }
        if (!next_line(&t, &line, &n) || !line_is(line, n, CLOSING_LINE)) {
            return fail(&t, error, error_capacity,
                        "expected the closing line of 56 asterisks ending in CR LF");
        }
        t.line += 1;
        if (!next_line(&t, &line, &n) || n != 0) {
            return fail(&t, error, error_capacity, "expected an empty line (CR LF) after a block");
        }
        t.line += 1;
    }
    if (t.at != t.length) {
        return fail(&t, error, error_capacity, "unexpected text after the block of channel 8");
    }
    return 0;
}

int qtb_load_values(const char *path, QtbValues *values, char *error, std::size_t error_capacity) {
    // A complete file is about 6 kB; anything near this size is not one.
    static char text[4 * QTB_BACKUP_MAX];
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::snprintf(error, error_capacity, "%s: cannot be opened: %s", path,
                      std::strerror(errno));
        return -1;
    }
    std::size_t length = std::fread(text, 1, sizeof text, file);
    bool read_error = std::ferror(file) != 0;
    bool too_long = length == sizeof text && std::fgetc(file) != EOF;
    std::fclose(file);
    if (read_error) {
        std::snprintf(error, error_capacity, "%s: read error", path);
        return -1;
    }
    if (too_long) {
        std::snprintf(error, error_capacity, "%s: too large for a QTB.CFG file", path);
        return -1;
    }
    char detail[256];
    if (qtb_parse_values(text, length, values, detail, sizeof detail) != 0) {
        std::snprintf(error, error_capacity, "%s: %s", path, detail);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Cutting the input stream into units

void qtb_scanner_init(QtbKeyScanner *scanner) {
    scanner->count = 0;
}

static void take_pending(QtbKeyScanner *s, QtbInputUnit *unit) {
    std::memcpy(unit->bytes, s->pending, s->count);
    unit->count = s->count;
    s->count = 0;
}

int qtb_scanner_feed(QtbKeyScanner *s, unsigned char byte, QtbInputUnit units[2]) {
    int made = 0;
    if (s->count == 0) {
        if (byte == 0x1B) {
            s->pending[s->count++] = byte;
            return 0;
        }
        units[0].bytes[0] = byte;
        units[0].count = 1;
        return 1;
    }
    if (s->count == 1) { // after ESC
        if (byte == '[') {
            s->pending[s->count++] = byte;
            return 0;
        }
    } else if (byte != 0x1B) { // after ESC [: any third byte completes the unit
        s->pending[s->count++] = byte;
        take_pending(s, &units[0]);
        return 1;
    }
    // The byte interrupts the pending sequence, which goes out on its own;
    // the byte then starts afresh.
    take_pending(s, &units[made++]);
    if (byte == 0x1B) {
        s->pending[s->count++] = byte;
    } else {
        units[made].bytes[0] = byte;
        units[made].count = 1;
        ++made;
    }
    return made;
}

int qtb_scanner_flush(QtbKeyScanner *scanner, QtbInputUnit *unit) {
    if (scanner->count == 0) {
        return 0;
    }
    take_pending(scanner, unit);
    return 1;
}

void qtb_unit_name(const QtbInputUnit *unit, char *out, std::size_t capacity) {
    static const char *const names[] = {"UP", "DOWN", "RIGHT", "LEFT"};
    QtbKey key = qtb_classify(unit->bytes, unit->count);
    if (key != QTB_KEY_NONE) {
        std::snprintf(out, capacity, "%s", names[key]);
        return;
    }
    int used = std::snprintf(out, capacity, "BYTES");
    for (std::size_t i = 0;
         i < unit->count && used > 0 && static_cast<std::size_t>(used) < capacity; ++i) {
        used += std::snprintf(out + used, capacity - used, " %02x", unit->bytes[i]);
    }
}

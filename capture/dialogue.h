// dialogue.h - the pieces of the dialogue, exposed for the tests.
//
// The device answers every cursor key with a screen paint: text interleaved
// with terminal control sequences that each start with ESC. A field's paint
// is read by cutting the reply at its ESC bytes: the first piece is whatever
// attribute reset the device sends first and is ignored, the next piece holds
// the field's label after a 14-character cursor/attribute prefix, and each
// further piece holds a value after its cursor-position sequence (ESC [ r;c H).
#ifndef DEDIZO_DIALOGUE_H
#define DEDIZO_DIALOGUE_H

#include <cstddef>

constexpr std::size_t REPLY_CAPACITY = 2048;
constexpr std::size_t BACKUP_CAPACITY = 128000;
constexpr int CHANNEL_COUNT = 8;
constexpr int FIELD_COUNT = 16;

// The terminal's cursor keys, and the line end of the backup file.
enum KeyIndex { KEY_RIGHT, KEY_LEFT, KEY_UP, KEY_DOWN, LINE_END };
struct KeySequence {
    const char *bytes;
    std::size_t length;
};
extern const KeySequence key_table[5];

// The sixteen labels of a channel's setup screen, in the order the capture
// visits them, with the number of pieces each field's paint is read for (the
// label piece and its value pieces). Ends with a null label.
struct FieldEntry {
    const char *label;
    int pieces;
};
extern const FieldEntry field_table[FIELD_COUNT + 1];

// The reply held in reply_buffer: the bytes the last receive delivered, up to
// the first zero byte among them. Bytes left behind by earlier, longer
// replies are never part of it.
struct ReplyText {
    unsigned char *buffer; // REPLY_CAPACITY bytes
    std::size_t length;    // bytes of this reply's text, <= REPLY_CAPACITY
};
ReplyText reply_text(unsigned char *buffer, std::size_t received);

// Appends a zero-terminated text at the end of backup (BACKUP_CAPACITY bytes,
// one zero-terminated text). Returns false, and leaves backup unchanged, when
// the text and its terminator would not fit.
bool append_text(char *backup, const char *text, std::size_t length);

enum ParseResult { PARSE_MATCH, PARSE_MISMATCH, PARSE_OVERFLOW };

// Turns one field's reply into one line of the backup: label, " = ", the
// values run together, CR LF. The reply is cut in place (the ESC after each
// piece taken becomes a zero byte). A reply with no label piece (nothing
// after its first piece: a paint cut off or lost before its label) gives
// PARSE_MISMATCH whatever check_label says, and appends nothing: it holds no
// field, and must never become an empty line of a backup. With check_label
// set, a label piece whose label differs from field_table[index] gives
// PARSE_MISMATCH too; without it, whatever label the piece holds (an empty
// one included) is taken as painted. A line that would not fit in the backup
// gives PARSE_OVERFLOW. On any of these, the line is not completed.
ParseResult parse_field_reply(ReplyText reply, char *backup, int index, bool check_label);

#endif

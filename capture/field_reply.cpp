// field_reply.cpp - one field's screen paint becomes one line of the backup.
#include "dialogue.h"

#include <cstring>

const FieldEntry field_table[FIELD_COUNT + 1] = {
    {"Channel Type", 2},
    {"BitEncoding", 2},
    {"BitOrder", 2},
    {"Sync Length", 2},
    {"Sync Pattern", 2},
    {"Strip Sync", 2},
    {"Frame Length", 2},
    {"Strip/Insert Bit", 2},
    {"Clock Source", 2},
    {"Sync Speed", 2},
    {"Idle State", 2},
    {"Checksum Mode", 2},
    {"Async Baudrate", 2},
    {"Signal Polarity DCE", 9},
    {"Signal Polarity DTE", 10},
    {"Channel Mode", 2},
    {nullptr, 0},
};

namespace {

constexpr unsigned char ESC = 0x1B;
// The label piece starts with the cursor move and attributes that place the
// label on screen; the label text follows this many bytes in.
constexpr std::size_t LABEL_PREFIX = 14;
// A value piece normally starts with ESC [ row ; col H and the value follows
// the H. One without an H is taken from this many bytes in.
constexpr std::size_t VALUE_PREFIX = 7;

struct Piece {
    const char *text;
    std::size_t length;
};

// Takes the next piece of the reply: a maximal run of bytes other than ESC.
// Runs of ESC and ESC at either end give no empty pieces. The ESC right after
// the piece is overwritten with a zero byte, cutting the reply in place.
bool next_piece(ReplyText *reply, std::size_t *pos, Piece *piece) {
    std::size_t p = *pos;
    while (p < reply->length && reply->buffer[p] == ESC)
        ++p;
    if (p >= reply->length) {
        *pos = p;
        return false;
    }
    const std::size_t begin = p;
    while (p < reply->length && reply->buffer[p] != ESC)
        ++p;
    piece->text = reinterpret_cast<const char *>(reply->buffer + begin);
    piece->length = p - begin;
    if (p < reply->length)
        reply->buffer[p++] = 0;
    *pos = p;
    return true;
}

Piece label_of(Piece piece) {
    if (piece.length <= LABEL_PREFIX)
        return Piece{piece.text + piece.length, 0};
    return Piece{piece.text + LABEL_PREFIX, piece.length - LABEL_PREFIX};
}

Piece value_of(Piece piece) {
    const void *h = std::memchr(piece.text, 'H', piece.length);
    if (h != nullptr) {
        const char *after = static_cast<const char *>(h) + 1;
        return Piece{after, static_cast<std::size_t>(piece.text + piece.length - after)};
    }
    if (piece.length <= VALUE_PREFIX)
        return Piece{piece.text + piece.length, 0};
    return Piece{piece.text + VALUE_PREFIX, piece.length - VALUE_PREFIX};
}

bool append_piece(char *backup, Piece piece) {
    return append_text(backup, piece.text, piece.length);
}

} // namespace

ReplyText reply_text(unsigned char *buffer, std::size_t received) {
    if (received > REPLY_CAPACITY)
        received = REPLY_CAPACITY;
    const void *zero = std::memchr(buffer, 0, received);
    std::size_t length =
        zero ? static_cast<std::size_t>(static_cast<const unsigned char *>(zero) - buffer)
             : received;
    return ReplyText{buffer, length};
}

bool append_text(char *backup, const char *text, std::size_t length) {
    const void *end = std::memchr(backup, 0, BACKUP_CAPACITY);
    if (end == nullptr)
        return false;
    const std::size_t used = static_cast<std::size_t>(static_cast<const char *>(end) - backup);
    if (length >= BACKUP_CAPACITY - used)
        return false; // no room for the text and its terminating zero
    std::memcpy(backup + used, text, length);
    backup[used + length] = 0;
    return true;
}

ParseResult parse_field_reply(ReplyText reply, char *backup, int index, bool check_label) {
    const FieldEntry &field = field_table[index];
    std::size_t pos = 0;
    Piece piece;

    next_piece(&reply, &pos, &piece); // the paint's leading sequence: ignored
    // A paint that stops before its label (cut off on the line, or lost but
    // for its first sequence) holds no field at all. It is never read as an
    // empty line: that line would stand in a backup reported as created, and
    // be kept as the device's configuration. So it is a mismatch even where
    // the label itself is not compared.
    if (!next_piece(&reply, &pos, &piece))
        return PARSE_MISMATCH;
    const Piece label = label_of(piece);
    if (!append_piece(backup, label) || !append_text(backup, " = ", 3))
        return PARSE_OVERFLOW;
    if (check_label && (label.length != std::strlen(field.label) ||
                        std::memcmp(label.text, field.label, label.length) != 0))
        return PARSE_MISMATCH;
    for (int k = 1; k < field.pieces && next_piece(&reply, &pos, &piece); ++k) {
        if (!append_piece(backup, value_of(piece)))
            return PARSE_OVERFLOW;
    }
    const KeySequence &end = key_table[LINE_END];
    return append_text(backup, end.bytes, end.length) ? PARSE_MATCH : PARSE_OVERFLOW;
}

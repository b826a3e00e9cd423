// Fuzzing the screen-paint parser with whatever a babbling line can deliver.
//
// Input layout: byte 0 picks the field and whether its label is checked,
// byte 1 how full the backup already is, byte 2 what earlier replies left in
// the reply buffer; the rest is the reply as one receive delivered it.
#include "dialogue.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 3)
        return 0;
    const int index = data[0] % FIELD_COUNT;
    const bool check = (data[0] & 0x80) != 0;
    // Mostly an empty backup; sometimes one within a line of being full.
    const std::size_t fill = data[1] < 200 ? 0 : BACKUP_CAPACITY - 1 - (data[1] - 200) * 40;
    const unsigned char stale = data[2];
    data += 3;
    size -= 3;

    // Whether the reply has a label piece: a second run of bytes other than
    // ESC within its text (up to its first zero byte), counted here before
    // the parser cuts the buffer.
    int runs = 0;
    for (std::size_t i = 0; i < size && i < REPLY_CAPACITY && data[i] != 0; ++i) {
        if (data[i] != 0x1B && (i == 0 || data[i - 1] == 0x1B))
            ++runs;
    }
    const bool has_label_piece = runs >= 2;

    static unsigned char reply_buffer[REPLY_CAPACITY];
    static char backup[BACKUP_CAPACITY];
    std::memset(reply_buffer, stale, sizeof reply_buffer);
    const std::size_t received = size < REPLY_CAPACITY ? size : REPLY_CAPACITY;
    std::memcpy(reply_buffer, data, received);
    std::memset(backup, 'b', fill);
    std::memset(backup + fill, 0, sizeof backup - fill);

    ParseResult r = parse_field_reply(reply_text(reply_buffer, received), backup, index, check);
    // The backup is always one terminated text inside its area, and it only
    // grows by what the reply held (plus " = " and CR LF).
    const void *end = std::memchr(backup, 0, sizeof backup);
    if (end == nullptr)
        std::abort();
    const std::size_t length = static_cast<std::size_t>(static_cast<const char *>(end) - backup);
    if (length < fill || length - fill > received + 5)
        std::abort();
    // A reply without a label piece is a mismatch, checked or not, and adds
    // nothing; with one, only a checked label can mismatch.
    if (!has_label_piece && (r != PARSE_MISMATCH || length != fill))
        std::abort();
    if (has_label_piece && r == PARSE_MISMATCH && !check)
        std::abort();
    return 0;
}

// What one field's screen paint turns into in the backup.
#include "dialogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

const std::string E = "\x1b";
// A label piece: 14 bytes of cursor placement and padding, then the label.
std::string label_piece(const std::string &label) {
    return "[07;02H       " + label;
}

struct Parsed {
    ParseResult result;
    std::string backup;
};

// Runs the reply through the real parser as the dialogue does: the reply
// buffer holds `stale` bytes from earlier receives, this receive delivered
// `reply` over them.
Parsed parse(const std::string &reply, int index, bool check, const std::string &stale = "") {
    static unsigned char buffer[REPLY_CAPACITY];
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, stale.data(), std::min(stale.size(), sizeof buffer));
    std::memcpy(buffer, reply.data(), std::min(reply.size(), sizeof buffer));
    std::vector<char> backup(BACKUP_CAPACITY, 0);
    ParseResult r =
        parse_field_reply(reply_text(buffer, reply.size()), backup.data(), index, check);
    return Parsed{r, std::string(backup.data())};
}

struct Case {
    const char *name;
    std::string reply;
    int index;
    bool check;
    ParseResult result;
    std::string line;
};
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class FieldReply : public ::testing::TestWithParam<Case> {};

// `line` is what the backup holds afterwards: the whole line on a match, the
// part appended before the mismatch was found otherwise.
TEST_P(FieldReply, BecomesOneLine) {
    const Case &c = GetParam();
    Parsed p = parse(c.reply, c.index, c.check);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.backup, c.line);
}

const std::string DCE_VALUES = E + "[09;40HRTS=H" + E + "[09;46HCTS=L" + E + "[09;52HDSR=H" + E +
                               "[09;58HDTR=H" + E + "[09;64HDCD=H" + E + "[09;70HRI=L" + E +
                               "[10;40HTXC=N" + E + "[10;46HRXC=N";

INSTANTIATE_TEST_SUITE_P(
    Paints, FieldReply,
    ::testing::Values(
        // ESC [0m, a 14-byte label prefix, a cursor move and the value, a trailing sequence.
        Case{"worked_example",
             E + "[0m" + E + label_piece("BitEncoding") + E + "[07;40HNRZ" + E + "[K", 1, true,
             PARSE_MATCH, "BitEncoding = NRZ\r\n"},
        // No label piece: a paint cut off or lost before its label holds no
        // field, checked or not, and leaves no line behind.
        Case{"no_escape_at_all", "BitEncoding NRZ", 1, true, PARSE_MISMATCH, ""},
        Case{"no_escape_at_all_unchecked", "Channel Type HDLC", 0, false, PARSE_MISMATCH, ""},
        Case{"cut_right_after_the_first_escape", E + "[0m" + E, 0, false, PARSE_MISMATCH, ""},
        Case{"first_piece_only", E + "[0m" + E + E, 3, true, PARSE_MISMATCH, ""},
        // A label piece too short to hold a label: empty, taken as painted
        // where unchecked, a mismatch where checked.
        Case{"label_piece_of_14_unchecked", E + "[0m" + E + "[07;02H       " + E + "[07;40HX", 0,
             false, PARSE_MATCH, " = X\r\n"},
        Case{"label_piece_of_14_checked", E + "[0m" + E + "[07;02H       " + E + "[07;40HX", 1,
             true, PARSE_MISMATCH, " = "},
        Case{"label_shorter_than_prefix", E + "[0m" + E + "[07" + E + "[07;40HX", 0, false,
             PARSE_MATCH, " = X\r\n"},
        Case{"trailing_space_is_part_of_label",
             E + "[0m" + E + label_piece("BitEncoding ") + E + "[1HNRZ", 1, true, PARSE_MISMATCH,
             "BitEncoding  = "},
        Case{"wrong_case_label", E + "[0m" + E + label_piece("Async BaudRate") + E + "[1H9600", 12,
             true, PARSE_MISMATCH, "Async BaudRate = "},
        Case{"value_after_first_H_only",
             E + "[0m" + E + label_piece("Channel Type") + E + "[07;40HHDLC", 0, true, PARSE_MATCH,
             "Channel Type = HDLC\r\n"},
        Case{"value_without_H_skips_seven",
             E + "[0m" + E + label_piece("BitOrder") + E + "[07;40mLSB first", 2, true, PARSE_MATCH,
             "BitOrder = LSB first\r\n"},
        Case{"lower_case_h_is_not_a_cursor_move",
             E + "[0m" + E + label_piece("BitOrder") + E + "[07;40hMSB", 2, true, PARSE_MATCH,
             "BitOrder = MSB\r\n"},
        Case{"value_piece_of_exactly_7", E + "[0m" + E + label_piece("BitOrder") + E + "[07;40m", 2,
             true, PARSE_MATCH, "BitOrder = \r\n"},
        Case{"value_piece_of_3", E + "[0m" + E + label_piece("BitOrder") + E + "[0m", 2, true,
             PARSE_MATCH, "BitOrder = \r\n"},
        Case{"label_without_value", E + "[0m" + E + label_piece("Sync Length") + E, 3, true,
             PARSE_MATCH, "Sync Length = \r\n"},
        Case{"runs_of_escape_make_no_empty_pieces",
             E + E + "[0m" + E + E + E + label_piece("Idle State") + E + E + "[1HMark" + E + E, 10,
             true, PARSE_MATCH, "Idle State = Mark\r\n"},
        Case{"values_of_dce_run_together",
             E + "[0m" + E + label_piece("Signal Polarity DCE") + DCE_VALUES + E +
                 "[11;40HNOT-TAKEN" + E + "[K",
             13, true, PARSE_MATCH,
             "Signal Polarity DCE = RTS=HCTS=LDSR=HDTR=HDCD=HRI=LTXC=NRXC=N\r\n"},
        Case{"dte_with_only_four_values",
             E + "[0m" + E + label_piece("Signal Polarity DTE") + E + "[1HA" + E + "[1HB" + E +
                 "[1HC" + E + "[1HD",
             14, true, PARSE_MATCH, "Signal Polarity DTE = ABCD\r\n"},
        Case{"eight_bit_bytes_pass_unchanged",
             E + "[0m" + E + label_piece("Sync Pattern") + E + "[1H\xb0\xff\x7f 7E" + E + "[K", 4,
             true, PARSE_MATCH, "Sync Pattern = \xb0\xff\x7f 7E\r\n"},
        Case{"trailing_spaces_of_a_value_are_kept",
             E + "[0m" + E + label_piece("Clock Source") + E + "[1HInt   " + E, 8, true,
             PARSE_MATCH, "Clock Source = Int   \r\n"},
        Case{"unchecked_first_field_keeps_a_wrong_label",
             E + "[0m" + E + label_piece("Chanel Type") + E + "[1HX", 0, false, PARSE_MATCH,
             "Chanel Type = X\r\n"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(FieldReply, ZeroByteEndsTheReplyText) {
    std::string reply = E + "[0m" + E + label_piece("BitOrder") + E + "[1HMSB";
    reply += std::string("\0", 1) + E + "[1HSTALE" + E;
    EXPECT_EQ(parse(reply, 2, true).backup, "BitOrder = MSB\r\n");
}

// A shorter reply over a longer one: what the earlier reply left in the
// buffer behind this one's bytes belongs to another screen and must never
// reach the backup.
TEST(FieldReply, StaleBytesOfAnEarlierReplyAreNotRead) {
    const std::string earlier =
        E + "[0m" + E + label_piece("Sync Pattern") + E + "[1H7E7E" + E + "[1HLEFTOVER" + E + "[K";
    const std::string now = E + "[0m" + E + label_piece("Sync Length") + E + "[1H8";
    Parsed p = parse(now, 3, true, earlier);
    EXPECT_EQ(p.result, PARSE_MATCH);
    EXPECT_EQ(p.backup, "Sync Length = 8\r\n");

    // A receive that delivered nothing has no text, whatever the buffer
    // holds: the earlier paint's label is not read as this field's.
    p = parse("", 3, true, earlier);
    EXPECT_EQ(p.result, PARSE_MISMATCH);
    EXPECT_EQ(p.backup, "");
}

TEST(FieldReply, FullBufferWithoutZeroIsBoundedAtCapacity) {
    std::string reply = E + "[0m" + E + label_piece("Frame Length") + E + "[1H";
    const std::size_t value_length = REPLY_CAPACITY - reply.size();
    reply += std::string(value_length, 'x');
    // Bytes beyond the capacity are not part of this reply.
    Parsed p = parse(reply + "OUTSIDE", 6, true);
    EXPECT_EQ(p.result, PARSE_MATCH);
    EXPECT_EQ(p.backup, "Frame Length = " + std::string(value_length, 'x') + "\r\n");
}

TEST(FieldReply, CutsTheReplyInPlace) {
    unsigned char buffer[REPLY_CAPACITY] = {};
    const std::string reply = E + "[0m" + E + E + label_piece("BitOrder") + E + "[1HLSB" + E + "[K";
    std::memcpy(buffer, reply.data(), reply.size());
    std::vector<char> backup(BACKUP_CAPACITY, 0);
    parse_field_reply(reply_text(buffer, reply.size()), backup.data(), 2, true);
    // The ESC after each piece taken is now a zero; leading ESC, the second
    // ESC of a run and the pieces not taken are untouched.
    std::string after(reinterpret_cast<char *>(buffer), reply.size());
    std::string want = reply;
    want[4] = '\0';
    want[6 + 22] = '\0';
    want[6 + 22 + 7] = '\0';
    EXPECT_EQ(after, want);
}

TEST(BackupText, AppendStopsShortOfTheCapacity) {
    std::vector<char> backup(BACKUP_CAPACITY, 0);
    const std::string big(BACKUP_CAPACITY - 10, 'a');
    ASSERT_TRUE(append_text(backup.data(), big.data(), big.size()));
    EXPECT_TRUE(append_text(backup.data(), "123456789", 9)); // fills it, terminator included
    EXPECT_FALSE(append_text(backup.data(), "x", 1));
    EXPECT_EQ(std::strlen(backup.data()), BACKUP_CAPACITY - 1);
}

TEST(BackupText, FieldLineThatWouldOverflowIsRefused) {
    unsigned char buffer[REPLY_CAPACITY] = {};
    const std::string reply = E + "[0m" + E + label_piece("BitOrder") + E + "[1HLSB-FIRST";
    std::memcpy(buffer, reply.data(), reply.size());
    std::vector<char> backup(BACKUP_CAPACITY, 0);
    const std::string big(BACKUP_CAPACITY - 20, 'a');
    ASSERT_TRUE(append_text(backup.data(), big.data(), big.size()));
    EXPECT_EQ(parse_field_reply(reply_text(buffer, reply.size()), backup.data(), 2, true),
              PARSE_OVERFLOW);
    EXPECT_EQ(backup[BACKUP_CAPACITY - 1], '\0');
}

} // namespace

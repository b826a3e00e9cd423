// The device model: its menus under a backup tool's walk, its faults, the
// QTB.CFG text it gives and takes, and the cutting of input into keys.
#include "qtb_model.h"
#include "sim_script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Options are large (every value of every field); keep them off the stack.
std::unique_ptr<QtbOptions> default_options() {
    std::unique_ptr<QtbOptions> options(new QtbOptions);
    qtb_default_options(options.get());
    return options;
}

std::unique_ptr<QtbModel> make_model(const QtbOptions &options) {
    std::unique_ptr<QtbModel> model(new QtbModel);
    qtb_model_init(model.get(), &options);
    return model;
}

std::string press(QtbModel *model, const std::string &bytes) {
    unsigned char reply[QTB_REPLY_MAX];
    std::size_t n = qtb_model_key(model, reinterpret_cast<const unsigned char *>(bytes.data()),
                                  bytes.size(), reply, sizeof reply);
    return std::string(reinterpret_cast<char *>(reply), n);
}

std::vector<std::string> walk(QtbModel *model, const std::string &keys) {
    std::vector<std::string> replies;
    for (char key : keys) {
        replies.push_back(press(model, key_bytes(key)));
    }
    return replies;
}

std::string backup_of(const QtbModel &model) {
    static char text[QTB_BACKUP_MAX];
    std::size_t n = qtb_backup_text(&model, text, sizeof text);
    return std::string(text, n);
}

const std::string HEADER_1 = "**************** CHANNEL 1 CONFIGURATION ***************\r\n";

// Replaces the first occurrence of `from` (which must exist) by `to`.
std::string edited(std::string text, const std::string &from, const std::string &to) {
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// A backup as a user might hand-edit it: trailing spaces, an 8-bit byte, an
// empty value, polarity texts of other lengths than the device's circuits.
std::string edited_backup() {
    auto options = default_options();
    std::string text = backup_of(*make_model(*options));
    text = edited(text, "Clock Source = Internal\r\n", "Clock Source = Ext 90\xB0   \r\n");
    text = edited(text, "Sync Pattern = 7E\r\n", "Sync Pattern = \r\n");
    text = edited(text, "Signal Polarity DCE = NNNNNNNN\r\n", "Signal Polarity DCE = NI\r\n");
    text = edited(text, "Signal Polarity DTE = NNNNNNNNN\r\n",
                  "Signal Polarity DTE = NNNNNNNNN NNNN IIII\r\n");
    return text;
}

// Reads the backup a correct run of the tool would assemble from the paints
// of a complete walk, checking every label after the first on the way.
std::string backup_from_paints(const std::vector<std::string> &replies,
                               std::vector<std::string> *mismatches) {
    std::string text;
    std::size_t key = 32; // after the opening
    for (int channel = 1; channel <= 8; ++channel) {
        text += "**************** CHANNEL " + std::to_string(channel) +
                " CONFIGURATION ***************\r\n";
        key += 1 + 15; // RIGHT and the first fifteen DOWNs
        for (int field = 0; field < QTB_FIELDS; ++field) {
            FieldRead f = read_field(replies[key++], qtb_value_pieces(field));
            if (field > 0 && f.label != qtb_field_labels[field]) {
                mismatches->push_back(std::to_string(channel) + "," + std::to_string(field) + ": " +
                                      f.label);
            }
            EXPECT_EQ(f.value_pieces, qtb_value_pieces(field)) << channel << "," << field;
            text += f.label + " = " + f.values + "\r\n";
        }
        key += 2; // LEFT, UP
        text += std::string(56, '*') + "\r\n\r\n";
    }
    return text;
}

TEST(QtbWalk, AnswersTheBackupWalkWithPaintsThatGiveItsBackupText) {
    struct Case {
        const char *name;
        bool load_edited;
        int wrong_channel;
        int wrong_field;
    };
    // A wrong label on the first field is not checked by the tool and goes
    // into the backup as painted.
    const Case cases[] = {{"factory", false, 0, 0},
                          {"loaded values", true, 0, 0},
                          {"wrong first label", false, 5, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto options = default_options();
        if (c.load_edited) {
            std::string text = edited_backup();
            char error[256];
            ASSERT_EQ(
                qtb_parse_values(text.data(), text.size(), &options->values, error, sizeof error),
                0)
                << error;
        }
        options->wrong_label_channel = c.wrong_channel;
        options->wrong_label_field = c.wrong_field;
        auto model = make_model(*options);
        std::string keys = backup_walk();
        ASSERT_EQ(keys.size(), 306u);
        std::vector<std::string> replies = walk(model.get(), keys);

        std::size_t longest = 0;
        for (std::size_t i = 0; i < replies.size(); ++i) {
            EXPECT_FALSE(replies[i].empty()) << "key " << i + 1;
            EXPECT_EQ(replies[i].find('\0'), std::string::npos) << "key " << i + 1;
            longest = std::max(longest, replies[i].size());
        }
        // Every reply must be complete within the tool's 1,000 ms receive at
        // 9600 baud (about 960 bytes a second), with its 50 ms gap to spare.
        EXPECT_LT(longest, 850u);
        EXPECT_NE(replies[21].find("Channel Configuration"), std::string::npos);
        EXPECT_EQ(replies[21].find("Privileged"), std::string::npos);
        for (int channel = 1; channel <= 8; ++channel) {
            const std::string &opened = replies[32 + 34 * (channel - 1)];
            EXPECT_NE(opened.find("Channel " + std::to_string(channel) + " Setup"),
                      std::string::npos);
        }
        std::vector<std::string> mismatches;
        std::string from_paints = backup_from_paints(replies, &mismatches);
        EXPECT_TRUE(mismatches.empty()) << mismatches.front();
        EXPECT_EQ(from_paints, backup_of(*model));
        if (c.load_edited) {
            EXPECT_EQ(from_paints, edited_backup());
        }
        EXPECT_EQ(model->screen, QTB_MAIN_MENU);
        EXPECT_EQ(model->keys, 306);
    }
}

TEST(QtbWalk, FactoryBackupHasTrailingSpacesAndAnEightBitByte) {
    auto options = default_options();
    std::string text = backup_of(*make_model(*options));
    EXPECT_EQ(text.compare(0, HEADER_1.size(), HEADER_1), 0);
    EXPECT_NE(text.find("Channel Mode = Normal  \r\n"), std::string::npos);
    EXPECT_NE(text.find("Clock Source = Ext 180\xB0\r\n"), std::string::npos);
    EXPECT_NE(text.find("Signal Polarity DTE = NNINNNNNN\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 60), std::string(56, '*') + "\r\n\r\n");
}

// A tool that sends the wrong keys must see the wrong screens.
TEST(QtbWalk, WrongKeyOrderLandsOnOtherScreens) {
    const std::string opening =
        std::string(10, 'L') + std::string(10, 'D') + "UR" + std::string(10, 'D');
    struct Case {
        std::string keys;
        const char *expect_in_last;
    };
    const Case cases[] = {
        {opening + "R" + std::string(16, 'D'), "       Channel Type\x1b"},
        {opening + "R" + std::string(15, 'D'), "       BitEncoding\x1b"},
        {opening + "R" + std::string(17, 'D'), "       Channel Mode\x1b"},
        {opening + "R" + std::string(16, 'D') + "U", "       BitEncoding\x1b"},
        // One UP too many in the main menu: RIGHT opens Date and Time.
        {std::string(10, 'L') + std::string(10, 'D') + "UUR", "Date and Time"},
        // Without the UP: RIGHT opens Diagnostics, not the channel list.
        {std::string(10, 'L') + std::string(10, 'D') + "R", "Self test passed"},
        // The next channel after LEFT, UP is channel 2.
        {opening + "R" + std::string(16, 'D') + std::string(15, 'U') + "LUR", "Channel 2 Setup"},
        // LEFT from anywhere leads back to the main menu within two presses.
        {opening + "R" + std::string(3, 'U') + "LL", "Main Menu"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        auto options = default_options();
        auto model = make_model(*options);
        std::vector<std::string> replies = walk(model.get(), c.keys);
        EXPECT_NE(replies.back().find(c.expect_in_last), std::string::npos) << replies.back();
    }
}

TEST(QtbFaults, LockedDeviceRefusesChannelConfiguration) {
    auto options = default_options();
    options->locked = true;
    auto model = make_model(*options);
    std::vector<std::string> replies = walk(model.get(), backup_walk());
    EXPECT_NE(replies[21].find("Privileged access required"), std::string::npos);
    EXPECT_EQ(replies[20].find("Privileged"), std::string::npos);
    // However often it is asked, the device never shows a channel.
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].find("Channel 8"), std::string::npos) << "key " << i + 1;
        EXPECT_EQ(replies[i].find("Setup"), std::string::npos) << "key " << i + 1;
    }
}

TEST(QtbFaults, WrongLabelShowsOnlyAtItsChannelAndField) {
    const int cases[][2] = {{1, 1}, {3, 7}, {8, 15}, {2, 13}, {4, 14}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c[0]) + "," + std::to_string(c[1]));
        auto options = default_options();
        options->wrong_label_channel = c[0];
        options->wrong_label_field = c[1];
        auto model = make_model(*options);
        std::vector<std::string> mismatches;
        backup_from_paints(walk(model.get(), backup_walk()), &mismatches);
        ASSERT_EQ(mismatches.size(), 1u);
        EXPECT_EQ(mismatches[0].substr(0, mismatches[0].find(':')),
                  std::to_string(c[0]) + "," + std::to_string(c[1]));
        // Plausible: a near miss, never empty, never the expected label.
        std::string painted = mismatches[0].substr(mismatches[0].find(": ") + 2);
        EXPECT_FALSE(painted.empty());
        EXPECT_NE(painted, qtb_field_labels[c[1]]);
    }
}

// Every move onto the field, in the DOWN ring and on the way UP, is cut to
// the attribute reset; nothing else changes, the screen paint that opens the
// channel included.
TEST(QtbFaults, NoLabelCutsOnlyThatFieldsPaints) {
    auto reference_options = default_options();
    auto reference = make_model(*reference_options);
    const std::vector<std::string> expected = walk(reference.get(), backup_walk());
    const int cases[][2] = {{1, 0}, {3, 7}, {8, 15}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c[0]) + "," + std::to_string(c[1]));
        auto options = default_options();
        options->no_label_channel = c[0];
        options->no_label_field = c[1];
        auto model = make_model(*options);
        std::vector<std::string> replies = walk(model.get(), backup_walk());
        // Replies (0-based) in the channel: 0 is RIGHT, 1..16 the DOWNs
        // (DOWN d paints field 16 - d, the last one field 0), 17..31 the UPs
        // (fields 1..15).
        const std::size_t right = 32 + 34 * static_cast<std::size_t>(c[0] - 1);
        std::vector<std::size_t> cut = {right + 16 - static_cast<std::size_t>(c[1])};
        if (c[1] != 0)
            cut.push_back(right + 16 + static_cast<std::size_t>(c[1]));
        for (std::size_t i = 0; i < replies.size(); ++i) {
            const bool is_cut = std::find(cut.begin(), cut.end(), i) != cut.end();
            EXPECT_EQ(replies[i], is_cut ? "\x1b[0m" : expected[i]) << "key " << i + 1;
        }
        EXPECT_EQ(model->screen, QTB_MAIN_MENU);
    }
}

TEST(QtbFaults, SilenceAndDroppedRepliesLeaveTheMenuWalking) {
    auto reference_options = default_options();
    auto reference = make_model(*reference_options);
    std::vector<std::string> expected = walk(reference.get(), backup_walk());

    struct Case {
        const char *name;
        bool silent;
        long silent_after;
        std::vector<long> drops;
    };
    const Case cases[] = {{"silent", true, -1, {}},
                          {"silent after 9", false, 9, {}},
                          {"drops", false, -1, {1, 50, 306}},
                          {"no limit", false, -1, {}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto options = default_options();
        options->silent = c.silent;
        options->silent_after = c.silent_after;
        for (long key : c.drops) {
            options->drop_reply[options->drop_count++] = key;
        }
        auto model = make_model(*options);
        std::vector<std::string> replies = walk(model.get(), backup_walk());
        for (long key = 1; key <= 306; ++key) {
            bool answered = !c.silent && (c.silent_after < 0 || key <= c.silent_after);
            for (long d : c.drops) {
                answered = answered && d != key;
            }
            const std::string &reply = replies[static_cast<std::size_t>(key - 1)];
            EXPECT_EQ(reply, answered ? expected[static_cast<std::size_t>(key - 1)] : "")
                << "key " << key;
        }
        EXPECT_EQ(model->keys, 306);
    }
}

TEST(QtbFaults, GarbageIsReproducibleAndNasty) {
    auto replies_for = [](std::uint64_t seed) {
        auto options = default_options();
        options->garbage = true;
        options->garbage_seed = seed;
        auto model = make_model(*options);
        return walk(model.get(), backup_walk());
    };
    EXPECT_EQ(replies_for(7), replies_for(7));
    EXPECT_NE(replies_for(7), replies_for(8));

    int empty = 0, over_capacity = 0, with_nul = 0, escape_storms = 0, wrong_labels = 0;
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        for (const std::string &r : replies_for(seed)) {
            EXPECT_LE(r.size(), 3000u);
            empty += r.empty();
            over_capacity += r.size() > 2048;
            with_nul += r.find('\0') != std::string::npos;
            escape_storms += r.find("\x1b\x1b\x1b") != std::string::npos;
            FieldRead f = read_field(r, 1);
            bool known = false;
            for (const char *label : qtb_field_labels) {
                known = known || f.label == label;
            }
            wrong_labels += !known && r.find("\x1b[0m\x1b[") == 0;
        }
    }
    EXPECT_GT(empty, 0);
    EXPECT_GT(over_capacity, 0);
    EXPECT_GT(with_nul, 0);
    EXPECT_GT(escape_storms, 0);
    EXPECT_GT(wrong_labels, 0);
}

TEST(QtbModel, IgnoresInputThatIsNotACursorKey) {
    auto options = default_options();
    auto model = make_model(*options);
    for (const char *junk : {"\x1b[Z", "x", "\x1b", "\x1b[", "\r", "\x1b[AA"}) {
        EXPECT_EQ(press(model.get(), junk), "") << junk;
    }
    EXPECT_EQ(model->keys, 0);
    EXPECT_NE(press(model.get(), "\x1b[D").find("Main Menu"), std::string::npos);
}

TEST(QtbValues, DumpOfLoadedTextIsByteIdentical) {
    auto options = default_options();
    for (const std::string &text : {backup_of(*make_model(*options)), edited_backup()}) {
        auto loaded = default_options();
        char error[256];
        ASSERT_EQ(qtb_parse_values(text.data(), text.size(), &loaded->values, error, sizeof error),
                  0)
            << error;
        EXPECT_EQ(backup_of(*make_model(*loaded)), text);
    }
}

TEST(QtbValues, LoadedMultiValueFieldPaintsWholeTextThenEmptyPieces) {
    std::string text = edited_backup();
    auto options = default_options();
    char error[256];
    ASSERT_EQ(qtb_parse_values(text.data(), text.size(), &options->values, error, sizeof error), 0);
    auto model = make_model(*options);
    // Channel 1, setup screen, UP from Channel Type to Signal Polarity DCE.
    std::vector<std::string> replies =
        walk(model.get(), std::string(10, 'L') + std::string(10, 'D') + "UR" +
                              std::string(10, 'D') + "R" + std::string(13, 'U'));
    EXPECT_EQ(replies.back(), "\x1b[0m\x1b[07;02H       Signal Polarity DCE\x1b[07;30HNI"
                              "\x1b[07;34H\x1b[07;38H\x1b[07;42H\x1b[07;46H\x1b[07;50H\x1b[07;54H"
                              "\x1b[07;58H\x1b[K");
}

TEST(QtbValues, RejectsMalformedTextNamingTheLine) {
    auto options = default_options();
    const std::string good = backup_of(*make_model(*options));
    std::string lf_only;
    for (char c : good) {
        if (c != '\r') {
            lf_only += c;
        }
    }
    struct Case {
        const char *name;
        std::string text;
        const char *message;
    };
    const Case cases[] = {
        {"empty", "", "line 1:"},
        {"LF line ends", lf_only, "line 1:"},
        {"wrong channel number", edited(good, "CHANNEL 2 ", "CHANNEL 3 "), "line 20:"},
        {"misspelt label", edited(good, "BitEncoding = ", "Bit Encoding = "), "line 3:"},
        {"no separator", edited(good, "BitOrder = ", "BitOrder: "), "line 4:"},
        {"ESC in a value", edited(good, "= HDLC\r", "= HD\x1bLC\r"), "ESC"},
        {"NUL in a value", edited(good, "= HDLC\r", std::string("= HD\0LC\r", 8)), "NUL"},
        {"bare CR in a value", edited(good, "= HDLC\r", "= HD\rLC\r"), "line 2:"},
        {"value too long", edited(good, "= HDLC\r", "= " + std::string(80, 'x') + "\r"),
         "longer than 79"},
        {"missing line", edited(good, "Strip Sync = Yes\r\n", ""), "line 7:"},
        {"no empty line after block", edited(good, "*\r\n\r\n*", "*\r\n*"), "line 19:"},
        {"cut short", good.substr(0, good.size() - 2), "line 152:"},
        {"text after channel 8", good + "\r\n", "line 153:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto values = default_options();
        char error[256] = "";
        EXPECT_EQ(
            qtb_parse_values(c.text.data(), c.text.size(), &values->values, error, sizeof error),
            -1);
        EXPECT_NE(std::strstr(error, c.message), nullptr) << error;
    }
}

TEST(QtbValues, LoadReportsTheFileItCouldNotRead) {
    QtbValues *values = new QtbValues;
    char error[256] = "";
    EXPECT_EQ(qtb_load_values("/nonexistent/QTB.CFG", values, error, sizeof error), -1);
    EXPECT_NE(std::strstr(error, "/nonexistent/QTB.CFG"), nullptr) << error;
    delete values;
}

TEST(QtbKeyScanner, CutsTheStreamIntoKeysAndStrayBytes) {
    struct Case {
        std::string input;
        std::string units; // names, one per line
    };
    const Case cases[] = {
        {"\x1b[A\x1b[B\x1b[C\x1b[D", "UP\nDOWN\nRIGHT\nLEFT\n"},
        {"\x1b[Z", "BYTES 1b 5b 5a\n"},
        {"x\x1b[C", "BYTES 78\nRIGHT\n"},
        {"\x1b\x1b[D", "BYTES 1b\nLEFT\n"},
        {"\x1bx", "BYTES 1b\nBYTES 78\n"},
        {"\x1b[\x1b[A", "BYTES 1b 5b\nUP\n"},
        {std::string("\0\xff", 2), "BYTES 00\nBYTES ff\n"},
        {"\x1b[", "BYTES 1b 5b\n"}, // left pending, then flushed
        {"\x1b", "BYTES 1b\n"},
    };
    for (const Case &c : cases) {
        QtbKeyScanner scanner;
        qtb_scanner_init(&scanner);
        std::string names;
        auto add = [&](const QtbInputUnit &unit) {
            char name[32];
            qtb_unit_name(&unit, name, sizeof name);
            names += std::string(name) + "\n";
        };
        for (char byte : c.input) {
            QtbInputUnit units[2];
            int made = qtb_scanner_feed(&scanner, static_cast<unsigned char>(byte), units);
            for (int i = 0; i < made; ++i) {
                add(units[i]);
            }
        }
        QtbInputUnit rest;
        if (qtb_scanner_flush(&scanner, &rest) == 1) {
            add(rest);
        }
        EXPECT_EQ(names, c.units) << "input of " << c.input.size() << " bytes";
        EXPECT_EQ(qtb_scanner_flush(&scanner, &rest), 0);
    }
}

} // namespace

// The dialogue against a software QTB, in process: which keys go out, what
// the backup holds, and how every kind of ending leaves the directory.
#include "capture.h"
#include "fake_link.h"
#include "qtb_model.h"
#include "sim_process.h"
#include "sim_script.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <functional>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> files_in(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    return names;
}

struct Outcome {
    std::string out;
    std::vector<std::string> keys;
    std::string dir;
};

// Runs the dialogue on a fake port in a fresh directory that already holds
// an older backup, as a user's working directory would.
void old_backup(const std::string &dir) {
    FILE *f = fopen((dir + "/QTB.CFG").c_str(), "wb");
    fputs("previous backup\r\n", f);
    fclose(f);
}

Outcome run_dialogue(const QtbOptions &options, const std::function<void()> &setup = {},
                     const std::function<void(const std::string &)> &prepare = old_backup) {
    fake_link_reset(options);
    if (setup)
        setup();
    Outcome o;
    o.dir = make_temp_dir();
    prepare(o.dir);
    char here[4096];
    EXPECT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(chdir(o.dir.c_str()), 0);

    PortHandle port = open_port("COM1:");
    PortSnapshot snapshot;
    TransferSlot rx{}, tx{};
    EXPECT_EQ(save_port_settings(port, &snapshot), 0);
    EXPECT_EQ(configure_port(port), 0);
    EXPECT_EQ(create_transfer_events(&rx, &tx), 0);
    testing::internal::CaptureStdout();
    run_backup(port, &rx, &tx);
    o.out = testing::internal::GetCapturedStdout();
    restore_port_settings(port, &snapshot);
    close_port(port);
    close_transfer_events(&rx, &tx);

    EXPECT_EQ(chdir(here), 0);
    o.keys = fake_link_keys();
    EXPECT_TRUE(fake_link_misuse().empty()) << fake_link_misuse()[0];
    return o;
}

QtbOptions factory() {
    QtbOptions o;
    qtb_default_options(&o);
    return o;
}

TEST(Dialogue, FullBackupIsExactAndWalksTheMenusInOrder) {
    QtbOptions options = factory();
    // Values unlike the factory's, including trailing spaces and 8-bit bytes.
    std::snprintf(options.values.value[2][4][0], QTB_VALUE_MAX, "%s", "7E7E\xb0  ");
    std::snprintf(options.values.value[7][14][8], QTB_VALUE_MAX, "%s", "RI=\xff");
    QtbModel device;
    qtb_model_init(&device, &options);
    std::vector<char> expected(QTB_BACKUP_MAX);
    ASSERT_GT(qtb_backup_text(&device, expected.data(), expected.size()), 0u);

    Outcome o = run_dialogue(options);
    EXPECT_EQ(read_file(o.dir + "/QTB.CFG"), std::string(expected.data()));
    EXPECT_EQ(o.keys, backup_walk_names());
    EXPECT_EQ(fake_link_receive_count(), 306);
    EXPECT_EQ(o.out, progress_lines(8) + "File QTB.CFG created\n\r");
    EXPECT_EQ(files_in(o.dir), std::vector<std::string>{"QTB.CFG"});
}

// Every way the dialogue can end early: the message, how many keys went out
// before it stopped, and that the old backup is still there, alone.
struct Ending {
    const char *name;
    std::function<void(QtbOptions *)> device;
    std::function<void()> link;
    std::string out;
    std::size_t keys;
};
void PrintTo(const Ending &c, std::ostream *os) {
    *os << c.name;
}

class EarlyEnding : public ::testing::TestWithParam<Ending> {};

TEST_P(EarlyEnding, LeavesTheOldBackupAlone) {
    const Ending &e = GetParam();
    QtbOptions options = factory();
    if (e.device)
        e.device(&options);
    Outcome o = run_dialogue(options, e.link);
    EXPECT_EQ(o.out, e.out);
    std::vector<std::string> script = backup_walk_names();
    ASSERT_LE(e.keys, script.size());
    script.resize(e.keys);
    EXPECT_EQ(o.keys, script);
    EXPECT_EQ(read_file(o.dir + "/QTB.CFG"), "previous backup\r\n");
    EXPECT_EQ(files_in(o.dir), std::vector<std::string>{"QTB.CFG"});
}

const std::string NO_COMMUNICATION = "Error, no communication with QTB.\n\r";

// Key numbers in the walk: the opening takes 32 keys, each channel 34; in a
// channel, key 1 is RIGHT, 2..17 the DOWNs, 18..32 the UPs for fields 1..15.
long key_of_field(int channel, int field) {
    return 32 + (channel - 1) * 34 + (field == 0 ? 17 : 17 + field);
}

INSTANTIATE_TEST_SUITE_P(
    Device, EarlyEnding,
    ::testing::Values(
        Ending{"silent", [](QtbOptions *o) { o->silent = true; }, {}, NO_COMMUNICATION, 1},
        Ending{"silent_at_the_tenth_probe",
               [](QtbOptions *o) { o->silent_after = 9; },
               {},
               NO_COMMUNICATION,
               10},
        Ending{"locked",
               [](QtbOptions *o) { o->locked = true; },
               {},
               "QTB is locked, can not read the configuration.\n\rPlease unlock the QTB and try "
               "again.\n\r",
               22},
        Ending{"wrong_label_at_channel_3_field_7",
               [](QtbOptions *o) {
                   o->wrong_label_channel = 3;
                   o->wrong_label_field = 7;
               },
               {},
               progress_lines(3) +
                   "Error when reading configuration, expecting Strip/Insert Bit\n\r",
               124},
        // A paint cut off before its label holds no field: the run ends there,
        // at Channel Type too, whose label is otherwise not compared.
        Ending{"no_label_at_channel_2_field_0",
               [](QtbOptions *o) {
                   o->no_label_channel = 2;
                   o->no_label_field = 0;
               },
               {},
               progress_lines(2) + "Error when reading configuration, expecting Channel Type\n\r",
               static_cast<std::size_t>(key_of_field(2, 0))},
        Ending{"no_label_at_channel_6_field_11",
               [](QtbOptions *o) {
                   o->no_label_channel = 6;
                   o->no_label_field = 11;
               },
               {},
               progress_lines(6) + "Error when reading configuration, expecting Checksum Mode\n\r",
               static_cast<std::size_t>(key_of_field(6, 11))},
        // The reply to the sixteenth DOWN, read as "Channel Type", never came.
        Ending{"first_field_reply_dropped",
               [](QtbOptions *o) { o->drop_reply[o->drop_count++] = key_of_field(2, 0); },
               {},
               progress_lines(2) + NO_COMMUNICATION,
               static_cast<std::size_t>(key_of_field(2, 0))},
        Ending{"field_reply_dropped",
               [](QtbOptions *o) { o->drop_reply[o->drop_count++] = key_of_field(5, 9); },
               {},
               progress_lines(5) + NO_COMMUNICATION,
               static_cast<std::size_t>(key_of_field(5, 9))},
        // Unplugged half way through channel 4: nothing more comes back.
        Ending{"port_vanishes",
               {},
               [] { fake_link_hangup_after(key_of_field(4, 3)); },
               progress_lines(4) + NO_COMMUNICATION,
               static_cast<std::size_t>(key_of_field(4, 3))}),
    [](const ::testing::TestParamInfo<Ending> &info) { return std::string(info.param.name); });

TEST(Dialogue, RepliesThatAreNotReadMayGoMissing) {
    // A lost paint while moving round the ring is not read anyway; a device
    // that stayed silent after the opening's last key is the normal case.
    QtbOptions options = factory();
    options.drop_reply[options.drop_count++] = 40;
    options.drop_reply[options.drop_count++] = 32;
    Outcome o = run_dialogue(options);
    EXPECT_EQ(o.out, progress_lines(8) + "File QTB.CFG created\n\r");
    EXPECT_EQ(o.keys.size(), 306u);
}

TEST(Dialogue, BackupThatCannotBeWrittenKeepsWhatWasThere) {
    // Something in the way of QTB.CFG (here a directory of that name): the
    // run says so, leaves it alone, and leaves no temporary file behind.
    Outcome o = run_dialogue(factory(), {}, [](const std::string &dir) {
        ASSERT_EQ(mkdir((dir + "/QTB.CFG").c_str(), 0755), 0);
    });
    const std::string &dir = o.dir;
    const std::string &out = o.out;
    EXPECT_EQ(out, progress_lines(8) + "Could not create file QTB.CFG\n\r");
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"QTB.CFG"});
    struct stat st;
    ASSERT_EQ(stat((dir + "/QTB.CFG").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(Dialogue, TemporaryFileLeftByAKilledRunDoesNotBlockTheBackup) {
    // A run killed mid-write leaves its temporary file; a later run that gets
    // the same process id must still write, and leave that file alone.
    const std::string stale = "QTB.CFG." + std::to_string(getpid()) + ".0.tmp";
    Outcome o = run_dialogue(factory(), {}, [&stale](const std::string &dir) {
        old_backup(dir);
        FILE *f = fopen((dir + "/" + stale).c_str(), "wb");
        fputs("half a backup", f);
        fclose(f);
    });
    EXPECT_EQ(o.out, progress_lines(8) + "File QTB.CFG created\n\r");
    EXPECT_NE(read_file(o.dir + "/QTB.CFG"), "previous backup\r\n");
    EXPECT_EQ(read_file(o.dir + "/" + stale), "half a backup");
}

} // namespace

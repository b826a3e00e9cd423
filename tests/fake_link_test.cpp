// The in-process fake link: that it behaves as serial_link.h promises (one
// reply per receive, never more than the capacity, nothing when nothing
// came), and that its hooks do what the dialogue's tests rely on.
#include "fake_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char LEFT[] = "\x1b[D";
const char DOWN[] = "\x1b[B";

struct OpenLink {
    PortHandle port = nullptr;
    PortSnapshot snapshot{};
    TransferSlot rx{};
    TransferSlot tx{};
};

void open_link(OpenLink *l) {
    l->port = open_port("COM1:");
    ASSERT_NE(l->port, nullptr);
    ASSERT_EQ(save_port_settings(l->port, &l->snapshot), 0);
    ASSERT_EQ(configure_port(l->port), 0);
    ASSERT_EQ(create_transfer_events(&l->rx, &l->tx), 0);
}

std::string receive(OpenLink *l, std::size_t capacity = 2048) {
    char buffer[4096];
    std::memset(buffer, 0x55, sizeof buffer);
    std::size_t n = receive_reply(l->port, &l->rx, buffer, capacity);
    EXPECT_EQ(static_cast<unsigned char>(buffer[n]), 0x55) << "wrote past the reply";
    return std::string(buffer, n);
}

TEST(FakeLink, OneReplyPerReceiveAndNothingWhenNothingCame) {
    fake_link_reset();
    OpenLink l;
    open_link(&l);
    EXPECT_EQ(receive(&l), "");
    ASSERT_EQ(send_text(l.port, &l.tx, LEFT, 3), 0);
    ASSERT_EQ(send_text(l.port, &l.tx, DOWN, 3), 0);
    std::string menu = receive(&l);
    EXPECT_NE(menu.find("Main Menu"), std::string::npos);
    std::string move = receive(&l);
    EXPECT_NE(move.find("Line Statistics"), std::string::npos);
    EXPECT_EQ(move.find("Main Menu"), std::string::npos);
    EXPECT_EQ(receive(&l), "");
    EXPECT_EQ(fake_link_receive_count(), 4);
    EXPECT_EQ(fake_link_nonempty_receive_count(), 2);
    EXPECT_EQ(fake_link_keys(), (std::vector<std::string>{"LEFT", "DOWN"}));
    EXPECT_TRUE(fake_link_misuse().empty());
}

TEST(FakeLink, ReceiveTakesAtMostItsCapacityAndLeavesTheRest) {
    fake_link_reset();
    OpenLink l;
    open_link(&l);
    send_text(l.port, &l.tx, LEFT, 3);
    std::size_t whole = fake_link_state().queued;
    ASSERT_GT(whole, 100u);
    std::string first = receive(&l, 100);
    EXPECT_EQ(first.size(), 100u);
    std::string rest = receive(&l);
    EXPECT_EQ(first.size() + rest.size(), whole);
    EXPECT_NE((first + rest).find("Main Menu"), std::string::npos);
}

TEST(FakeLink, SplitRepliesComeInTwoReceives) {
    fake_link_reset();
    fake_link_split_replies(true);
    OpenLink l;
    open_link(&l);
    send_text(l.port, &l.tx, LEFT, 3);
    std::string first = receive(&l);
    std::string second = receive(&l);
    EXPECT_FALSE(first.empty());
    EXPECT_LE(first.size(), second.size());
    EXPECT_NE((first + second).find("Diagnostics"), std::string::npos);
    EXPECT_EQ(receive(&l), "");
}

TEST(FakeLink, PortVanishesAfterTheChosenKey) {
    fake_link_reset();
    fake_link_hangup_after(2);
    OpenLink l;
    open_link(&l);
    EXPECT_EQ(send_text(l.port, &l.tx, LEFT, 3), 0);
    EXPECT_FALSE(receive(&l).empty());
    EXPECT_EQ(send_text(l.port, &l.tx, LEFT, 3), 0);
    EXPECT_TRUE(fake_link_state().hung_up);
    EXPECT_EQ(receive(&l), ""); // the second reply went with the port
    EXPECT_EQ(send_text(l.port, &l.tx, LEFT, 3), -1);
    EXPECT_EQ(fake_link_keys().size(), 2u);
}

TEST(FakeLink, FailingStepsAreRecordedInCallOrder) {
    fake_link_reset();
    fake_link_fail(FAKE_CONFIGURE_PORT);
    PortHandle port = open_port("COM2:");
    PortSnapshot snapshot{};
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(open_port("COM2:"), nullptr) << "a second open of a held port";
    EXPECT_EQ(save_port_settings(port, &snapshot), 0);
    EXPECT_EQ(configure_port(port), -1);
    EXPECT_EQ(restore_port_settings(port, &snapshot), 0);
    EXPECT_TRUE(fake_link_state().restored);
    close_port(port);
    EXPECT_FALSE(fake_link_state().open);
    EXPECT_EQ(fake_link_calls(),
              (std::vector<std::string>{"open_port COM2:", "open_port COM2: (failed)",
                                        "save_port_settings", "configure_port (failed)",
                                        "restore_port_settings", "close_port"}));
    EXPECT_TRUE(fake_link_misuse().empty());
}

TEST(FakeLink, ReportsUseOutsideTheCallingOrder) {
    struct Case {
        const char *name;
        void (*misuse)(OpenLink *);
        const char *report;
    };
    const Case cases[] = {
        {"send before configure",
         [](OpenLink *l) {
             l->port = open_port("COM1:");
             create_transfer_events(&l->rx, &l->tx);
             send_text(l->port, &l->tx, LEFT, 3);
         },
         "not configured"},
        {"receive on the send slot",
         [](OpenLink *l) {
             open_link(l);
             char buffer[16];
             receive_reply(l->port, &l->tx, buffer, sizeof buffer);
         },
         "receive slot"},
        {"restore from a foreign snapshot",
         [](OpenLink *l) {
             open_link(l);
             PortSnapshot other{};
             restore_port_settings(l->port, &other);
         },
         "did not fill"},
        {"send after close",
         [](OpenLink *l) {
             open_link(l);
             close_port(l->port);
             send_text(l->port, &l->tx, LEFT, 3);
         },
         "closed port"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_link_reset();
        OpenLink l;
        c.misuse(&l);
        ASSERT_EQ(fake_link_misuse().size(), 1u);
        EXPECT_NE(fake_link_misuse()[0].find(c.report), std::string::npos) << fake_link_misuse()[0];
    }
}

} // namespace

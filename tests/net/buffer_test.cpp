#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "buffer_writer.h"
#include "net_test_util.h"
#include "socket_util.h"

namespace {

// A connected stream pair: the code under test uses fds[0], the test plays the peer on fds[1].
class SocketPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        mnet::SocketUtil::SetNonBlock(fds_[0]);
    }
    void TearDown() override {
        for (int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
    }
    void PeerWrite(const std::string& text) { ASSERT_TRUE(net_test::SendAll(fds_[1], text.data(), text.size())); }

    int fds_[2] = {-1, -1};
};

using BufferReaderTest = SocketPairTest;

// A reader that always leaves part of a message behind keeps its buffer small instead of growing by a read's
// worth each time.
TEST_F(BufferReaderTest, ConsumedBytesAreReclaimedWhenReadsEndMidMessage) {
    mnet::BufferReader reader;
    std::string chunk(3000, 'x');
    for (int i = 0; i < 2000; ++i) {
        PeerWrite(chunk);
        size_t got = 0;
        while (got < chunk.size()) {
            ssize_t n = reader.Read(fds_[0]);
            ASSERT_GT(n, 0);
            got += static_cast<size_t>(n);
        }
        reader.Retrieve(reader.ReadableBytes() - 10);  // a partial message stays unread
        ASSERT_EQ(reader.ReadableBytes(), 10u);
    }
    EXPECT_LE(reader.Capacity(), 3u * mnet::BufferReader::kReadBytesPerEvent);
}

TEST_F(BufferReaderTest, UnreadBytesStopAtTheLimit) {
    mnet::BufferReader reader(2048, 10000);
    PeerWrite(std::string(20000, 'y'));
    ssize_t n;
    while ((n = reader.Read(fds_[0])) > 0) {
    }
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(reader.IsFull());
    EXPECT_EQ(reader.ReadableBytes(), 10000u);
    EXPECT_LE(reader.Capacity(), 10000u + mnet::BufferReader::kReadBytesPerEvent);
    reader.Retrieve(1);
    EXPECT_FALSE(reader.IsFull());
}

TEST_F(BufferReaderTest, NothingWaitingIsEagainAndPeerCloseIsZero) {
    mnet::BufferReader reader;
    errno = 0;
    EXPECT_LT(reader.Read(fds_[0]), 0);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    ::close(fds_[1]);
    fds_[1] = -1;
    EXPECT_EQ(reader.Read(fds_[0]), 0);
    EXPECT_FALSE(reader.IsFull());
}

TEST_F(BufferReaderTest, RetrieveAndLineHelpers) {
    mnet::BufferReader reader;
    PeerWrite("GET x\r\nHost: y\r\npartial");
    ASSERT_GT(reader.Read(fds_[0]), 0);
    const char* crlf = reader.FindLastCrlf();
    ASSERT_NE(crlf, nullptr);
    EXPECT_EQ(crlf - reader.Peek(), 14);  // the last one, not the first
    std::string line;
    EXPECT_EQ(reader.ReadUntilCrlf(line), 16u);
    EXPECT_EQ(line, "GET x\r\nHost: y\r\n");
    EXPECT_EQ(reader.FindLastCrlf(), nullptr);
    EXPECT_EQ(reader.ReadUntilCrlf(line), 0u);
    reader.Retrieve(1000);  // more than readable: empties
    EXPECT_EQ(reader.ReadableBytes(), 0u);
    PeerWrite("rest");
    ASSERT_GT(reader.Read(fds_[0]), 0);
    EXPECT_EQ(reader.ReadAll(line), 4u);
    EXPECT_EQ(line, "rest");
    EXPECT_EQ(reader.ReadableBytes(), 0u);
}

struct CrlfCase {
    std::string text;
    int position;  // -1: none
};

class FindLastCrlfTable : public SocketPairTest, public ::testing::WithParamInterface<CrlfCase> {};

TEST_P(FindLastCrlfTable, FindsTheLastLineEnd) {
    mnet::BufferReader reader;
    if (!GetParam().text.empty()) {
        PeerWrite(GetParam().text);
        ASSERT_GT(reader.Read(fds_[0]), 0);
    }
    const char* found = reader.FindLastCrlf();
    EXPECT_EQ(found == nullptr ? -1 : static_cast<int>(found - reader.Peek()), GetParam().position);
}

INSTANTIATE_TEST_SUITE_P(Texts, FindLastCrlfTable,
                         ::testing::Values(CrlfCase{"", -1}, CrlfCase{"\r", -1}, CrlfCase{"\n\r", -1},
                                           CrlfCase{"\r\n", 0}, CrlfCase{"a\r\n\r\n", 3},
                                           CrlfCase{"\r\nabc", 0}, CrlfCase{"ab\r\r\n", 3}));

using BufferWriterTest = SocketPairTest;

TEST_F(BufferWriterTest, RefusesEmptyPacketsAndTheOneBeyondTheQueueLimit) {
    mnet::BufferWriter writer;
    EXPECT_FALSE(writer.Append("abc", 0));
    EXPECT_FALSE(writer.Append("abc", 3, 3));
    EXPECT_FALSE(writer.Append("abc", 2, 3));
    EXPECT_TRUE(writer.Append("abc", 3, 2));
    for (uint32_t i = 1; i < mnet::BufferWriter::kMaxQueueLength; ++i) ASSERT_TRUE(writer.Append("abc", 3));
    EXPECT_EQ(writer.Size(), 500u);
    EXPECT_FALSE(writer.Append("abc", 3));
    EXPECT_EQ(writer.Size(), 500u);
}

TEST_F(BufferWriterTest, RefusesPacketsBeyondTheByteLimit) {
    mnet::BufferWriter writer(500, 1000);
    std::shared_ptr<char> block(new char[600], std::default_delete<char[]>());
    EXPECT_TRUE(writer.Append(block, 600));
    EXPECT_FALSE(writer.Append(block, 600));
    EXPECT_TRUE(writer.Append(block, 600, 200));  // only the unsent 400 count
    EXPECT_EQ(writer.QueuedBytes(), 1000u);
}

// The peer reads slowly: every send stops where the kernel stopped taking bytes and the next one continues
// from there, so the peer sees every byte once, in order.
TEST_F(BufferWriterTest, PartialSendContinuesFromTheWriteIndex) {
    mnet::SocketUtil::SetSendBufSize(fds_[0], 4096);
    mnet::BufferWriter writer;
    std::vector<char> data(512 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(writer.Append(data.data(), static_cast<uint32_t>(data.size() / 2)));
    ASSERT_TRUE(writer.Append(data.data() + data.size() / 2, static_cast<uint32_t>(data.size() / 2)));
    std::vector<char> received;
    int partial_sends = 0;
    while (!writer.IsEmpty()) {
        ASSERT_GE(writer.Send(fds_[0]), 0);
        if (!writer.IsEmpty()) ++partial_sends;
        char buf[3000];
        ssize_t n = ::recv(fds_[1], buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) received.insert(received.end(), buf, buf + n);
    }
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fds_[1], buf, sizeof(buf), MSG_DONTWAIT)) > 0) received.insert(received.end(), buf, buf + n);
    EXPECT_GT(partial_sends, 0);
    EXPECT_EQ(writer.QueuedBytes(), 0u);
    EXPECT_TRUE(received == data);
}

// A send to a peer that has gone reports the failure; with SIGPIPE at its default action a signal would
// end this test process.
TEST_F(BufferWriterTest, SendToVanishedPeerFailsWithoutSigpipe) {
    struct sigaction old_action;
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &old_action), 0);
    ::close(fds_[1]);
    fds_[1] = -1;
    mnet::BufferWriter writer;
    ASSERT_TRUE(writer.Append("hello", 5));
    EXPECT_LT(writer.Send(fds_[0]), 0);
    ::sigaction(SIGPIPE, &old_action, nullptr);
}

// Packets with headers of their own in front of shared payloads: what waits in the queue goes first, the
// socket takes what it can in gathered writes, the rest is queued (a packet it took in part always, so the
// stream stays whole; later ones only while the queue has room), and the peer sees whole packets in order.
TEST_F(BufferWriterTest, HeadedPacketsGoOutWholeAndInOrderBehindTheQueue) {
    struct Case {
        const char* name;
        uint32_t capacity;   // queue entries
        size_t packets;      // offered in one SendWith
        bool all_fit;        // the queue has room for all that the socket does not take
    };
    const Case cases[] = {
        {"room for everything", mnet::BufferWriter::kMaxQueueLength, 300, true},
        {"a queue of four behind a full socket", 4, 300, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        mnet::SocketUtil::SetNonBlock(fds[0]);
        mnet::SocketUtil::SetSendBufSize(fds[0], 4096);
        mnet::BufferWriter writer(c.capacity);
        ASSERT_TRUE(writer.Append("first", 5));

        std::shared_ptr<uint8_t> block(new uint8_t[1000], std::default_delete<uint8_t[]>());
        for (int i = 0; i < 1000; ++i) block.get()[i] = static_cast<uint8_t>(i * 13);
        std::vector<std::string> heads(c.packets);
        std::vector<mnet::BufferWriter::HeadedPacket> packets;
        for (size_t i = 0; i < c.packets; ++i) {
            heads[i] = "<" + std::to_string(i) + ">";
            // Payloads of varying length out of one shared block.
            packets.push_back({heads[i].data(), static_cast<uint32_t>(heads[i].size()), &block, block.get() + i % 7,
                               static_cast<uint32_t>(300 + i % 500)});
        }
        size_t accepted = 0;
        ASSERT_GE(writer.SendWith(fds[0], packets.data(), packets.size(), &accepted), 0);
        EXPECT_LE(writer.Size(), std::max<uint32_t>(c.capacity, 1));
        if (c.all_fit) {
            EXPECT_EQ(accepted, c.packets);
        } else {
            EXPECT_LT(accepted, c.packets);
        }
        // Whatever was refused is gone for good: drain the rest.
        std::string received;
        for (int rounds = 0; rounds < 100000 && !writer.IsEmpty(); ++rounds) {
            ASSERT_GE(writer.Send(fds[0]), 0);
            char buf[65536];
            ssize_t n = ::recv(fds[1], buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0) received.append(buf, static_cast<size_t>(n));
        }
        ASSERT_TRUE(writer.IsEmpty());
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fds[1], buf, sizeof(buf), MSG_DONTWAIT)) > 0) received.append(buf, static_cast<size_t>(n));
        std::string expected = "first";
        for (size_t i = 0; i < accepted; ++i) {
            expected += heads[i];
            expected.append(reinterpret_cast<const char*>(packets[i].data), packets[i].size);
        }
        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected);
        EXPECT_EQ(writer.QueuedBytes(), 0u);
        ::close(fds[0]);
        ::close(fds[1]);
    }
    mnet::BufferWriter writer;
    std::shared_ptr<uint8_t> block(new uint8_t[4], std::default_delete<uint8_t[]>());
    const char too_long[mnet::BufferWriter::kMaxHeadBytes + 1] = {};
    EXPECT_FALSE(writer.AppendWithHead({too_long, sizeof(too_long), &block, block.get(), 4}));
    EXPECT_FALSE(writer.AppendWithHead({nullptr, 0, &block, block.get(), 0}));
    EXPECT_TRUE(writer.AppendWithHead({"$", 1, &block, block.get(), 4}));
    EXPECT_EQ(writer.QueuedBytes(), 5u);
}

}  // namespace

#include "socket_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "byte_order.h"
#include "byte_reader.h"
#include "net_interface.h"
#include "net_test_util.h"
#include "tcp_socket.h"

namespace {

TEST(SocketUtilTest, AddressFallbacksWhenTheSocketCannotTell) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(mnet::SocketUtil::GetPeerIp(fd), "0.0.0.0");
    EXPECT_EQ(mnet::SocketUtil::GetPeerPort(fd), 0);
    ::close(fd);
    EXPECT_EQ(mnet::SocketUtil::GetSocketIp(-1), "127.0.0.1");
}

TEST(SocketUtilTest, ConnectReportsPeerAndLocalAddresses) {
    mnet::TcpSocket listener;
    ASSERT_GT(listener.Create(), 0);
    uint16_t port = net_test::FreePort();
    ASSERT_TRUE(listener.Bind("127.0.0.1", port));
    ASSERT_TRUE(listener.Listen(8));
    mnet::TcpSocket client;
    ASSERT_GT(client.Create(), 0);
    EXPECT_TRUE(client.Connect("127.0.0.1", port, 2000));
    int accepted = listener.Accept();
    ASSERT_GT(accepted, 0);
    EXPECT_EQ(mnet::SocketUtil::GetPeerIp(client.GetSocket()), "127.0.0.1");
    EXPECT_EQ(mnet::SocketUtil::GetPeerPort(client.GetSocket()), port);
    EXPECT_EQ(mnet::SocketUtil::GetSocketIp(accepted), "127.0.0.1");
    // Accepted descriptors are non-blocking and close-on-exec.
    EXPECT_TRUE(::fcntl(accepted, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(accepted, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(listener.GetSocket(), F_GETFD) & FD_CLOEXEC);
    ::close(accepted);
    client.Close();
    EXPECT_EQ(client.GetSocket(), 0);
    listener.Close();
}

TEST(SocketUtilTest, ConnectToAClosedPortFails) {
    uint16_t port = net_test::FreePort();
    mnet::TcpSocket with_timeout;
    ASSERT_GT(with_timeout.Create(), 0);
    EXPECT_FALSE(with_timeout.Connect("127.0.0.1", port, 1000));
    with_timeout.Close();
    mnet::TcpSocket without_timeout;
    ASSERT_GT(without_timeout.Create(), 0);
    EXPECT_FALSE(without_timeout.Connect("127.0.0.1", port));
    EXPECT_FALSE(without_timeout.Connect("not an address", port));
    without_timeout.Close();
}

TEST(SocketUtilTest, LocalAddressIsADottedIpv4Address) {
    std::string ip = mnet::GetLocalIPAddress();
    struct in_addr addr;
    EXPECT_EQ(::inet_pton(AF_INET, ip.c_str(), &addr), 1) << ip;
    EXPECT_NE(ip, "127.0.0.1");
}

TEST(ByteOrderTest, ReadersAndWritersAgreeOnLayout) {
    char b[4];
    mnet::WriteUint32BE(b, 0x01020304);
    EXPECT_EQ(std::memcmp(b, "\x01\x02\x03\x04", 4), 0);
    EXPECT_EQ(mnet::ReadUint32BE(b), 0x01020304u);
    EXPECT_EQ(mnet::ReadUint32LE(b), 0x04030201u);
    mnet::WriteUint32LE(b, 0x01020304);
    EXPECT_EQ(std::memcmp(b, "\x04\x03\x02\x01", 4), 0);
    mnet::WriteUint24BE(b, 0xA1B2C3);
    EXPECT_EQ(std::memcmp(b, "\xA1\xB2\xC3", 3), 0);
    EXPECT_EQ(mnet::ReadUint24BE(b), 0xA1B2C3u);
    EXPECT_EQ(mnet::ReadUint24LE(b), 0xC3B2A1u);
    mnet::WriteUint24LE(b, 0xA1B2C3);
    EXPECT_EQ(mnet::ReadUint24LE(b), 0xA1B2C3u);
    mnet::WriteUint16BE(b, 0xFFFE);
    EXPECT_EQ(std::memcmp(b, "\xFF\xFE", 2), 0);
    EXPECT_EQ(mnet::ReadUint16BE(b), 0xFFFEu);
    EXPECT_EQ(mnet::ReadUint16LE(b), 0xFEFFu);
    mnet::WriteUint16LE(b, 0xFFFE);
    EXPECT_EQ(mnet::ReadUint16LE(b), 0xFFFEu);
}

TEST(ByteReaderTest, ReadsPastTheEndFailAndLeaveThePositionAlone) {
    const char data[] = {'\x12', '\x34', '\x56', '\x78', '\x9A'};
    mnet::ByteReader reader(data, sizeof(data));
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    ASSERT_TRUE(reader.ReadUint16BE(&u16));
    EXPECT_EQ(u16, 0x1234);
    EXPECT_FALSE(reader.ReadUint32BE(&u32));
    EXPECT_TRUE(reader.Overrun());
    EXPECT_EQ(reader.Position(), 2u);
    ASSERT_TRUE(reader.ReadUint24LE(&u32));
    EXPECT_EQ(u32, 0x9A7856u);
    uint8_t u8;
    EXPECT_FALSE(reader.ReadUint8(&u8));
    EXPECT_TRUE(reader.Skip(0));
    EXPECT_EQ(reader.Remaining(), 0u);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/socket.h"

namespace {

using plat::Socket;
using plat::SocketAddress;

constexpr SocketAddress LOOPBACK_ANY_PORT{plat::IPV4_LOOPBACK, 0};

// A loopback port nobody listens on.
int UnusedPort() {
    Socket s = plat::ListenTcp(LOOPBACK_ANY_PORT);
    return s.LocalPort();
}

TEST(Socket, ConnectToAPortNobodyListensOnFailsFastWithAText) {
    Socket s = Socket::Tcp();
    ASSERT_TRUE(s.Valid());
    std::string why;
    const int64_t began = plat::TickMs();
    EXPECT_FALSE(s.Connect({plat::IPV4_LOOPBACK, UnusedPort()}, 5000, &why));
    EXPECT_LT(plat::TickMs() - began, 2000);
    EXPECT_FALSE(why.empty());
}

TEST(Socket, ConnectAcceptSendReceiveAndPeerClose) {
    Socket listener = plat::ListenTcp(LOOPBACK_ANY_PORT);
    ASSERT_TRUE(listener.Valid());
    const int port = listener.LocalPort();
    ASSERT_GT(port, 0);

    Socket client = Socket::Tcp();
    ASSERT_TRUE(client.Connect({plat::IPV4_LOOPBACK, port}, 2000));
    ASSERT_EQ(listener.Wait(plat::SOCKET_READABLE, 2000) & plat::SOCKET_READABLE, plat::SOCKET_READABLE);
    Socket server = listener.Accept();
    ASSERT_TRUE(server.Valid());
    EXPECT_EQ(server.PeerAddress().ip, plat::IPV4_LOOPBACK);
    EXPECT_EQ(server.PeerAddress().port, client.LocalPort());
    EXPECT_EQ(client.PeerAddress().port, port);

    // Nothing to read yet: a non-blocking receive says so instead of blocking.
    char buf[16] = {};
    EXPECT_EQ(server.Receive(buf, sizeof buf, plat::IoMode::NoWait), plat::IO_WOULD_BLOCK);

    ASSERT_TRUE(client.SendAll("hello", 5, 1000));
    ASSERT_GT(server.Wait(plat::SOCKET_READABLE, 2000), 0);
    EXPECT_EQ(server.Receive(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");

    // The peer goes away: the reader sees the end, and a writer fails without a signal.
    client.Close();
    ASSERT_GT(server.Wait(plat::SOCKET_READABLE, 2000), 0);
    EXPECT_EQ(server.Receive(buf, sizeof buf), 0);
    bool bFailed = false;
    for (int i = 0; i < 50 && !bFailed; ++i) {
        bFailed = !server.SendAll("x", 1, 100);
        plat::SleepRaw(5);
    }
    EXPECT_TRUE(bFailed);
}

TEST(Socket, UdpDatagramCarriesItsSender) {
    Socket a = plat::BindUdp(LOOPBACK_ANY_PORT);
    Socket b = plat::BindUdp(LOOPBACK_ANY_PORT);
    ASSERT_TRUE(a.Valid() && b.Valid());
    ASSERT_EQ(a.SendTo("ping", 4, b.LocalAddress()), 4);
    ASSERT_GT(b.Wait(plat::SOCKET_READABLE, 2000), 0);
    char buf[8] = {};
    SocketAddress from;
    EXPECT_EQ(b.ReceiveFrom(buf, sizeof buf, &from), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(from.ip, plat::IPV4_LOOPBACK);
    EXPECT_EQ(from.port, a.LocalPort());
    EXPECT_EQ(b.ReceiveFrom(buf, sizeof buf, nullptr, plat::IoMode::NoWait), plat::IO_WOULD_BLOCK);
}

TEST(Socket, WaitEndsAtItsTimeOutAndAWakeUpEndsItEarly) {
    Socket quiet = plat::BindUdp(LOOPBACK_ANY_PORT);
    plat::WakeUp wake;
    ASSERT_TRUE(wake.Valid());
    plat::WaitItem items[2] = {{quiet.Native(), plat::SOCKET_READABLE, 0}, wake.Item()};

    int64_t began = plat::TickMs();
    EXPECT_EQ(plat::WaitAny(items, 100), 0);
    EXPECT_GE(plat::TickMs() - began, 90);

    std::thread signaller([&wake] {
        plat::SleepRaw(50);
        wake.Signal();
    });
    began = plat::TickMs();
    EXPECT_EQ(plat::WaitAny(items, 5000), 1);
    EXPECT_LT(plat::TickMs() - began, 2000);
    EXPECT_EQ(items[0].ready, 0u);
    EXPECT_NE(items[1].ready & plat::SOCKET_READABLE, 0u);
    signaller.join();

    wake.Drain();
    EXPECT_EQ(plat::WaitAny(items, 0), 0);
}

TEST(Socket, Ipv4TextsAndValues) {
    uint32_t ip = 0;
    ASSERT_TRUE(plat::ParseIpv4("192.168.0.1", ip));
    EXPECT_EQ(ip, 0xC0A80001u);
    EXPECT_EQ(plat::Ipv4Text(ip), "192.168.0.1");
    EXPECT_FALSE(plat::ParseIpv4("192.168.0", ip));
    EXPECT_TRUE(plat::ResolveIpv4("127.0.0.1", ip));
    EXPECT_EQ(ip, plat::IPV4_LOOPBACK);
}

}  // namespace

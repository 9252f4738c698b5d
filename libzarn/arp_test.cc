// The ARP tools on the real kernel: a bridge in the sandbox's namespace stands
// for the router's internal interface, subscriber hosts live in namespaces of
// their own behind it.
#include "libzarn/arp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "libzarn/fd.h"
#include "tests/subscriber_lan.h"

namespace {

using namespace zarn_test;
using Clock = std::chrono::steady_clock;

// Host h1 (10.1.2.50) answers, 10.1.2.99 is nobody.
class ArpTest : public testing::Test {
 protected:
  void SetUp() override { lan_.add_host("h1", "10.1.2.50", "02:ab:cd:00:00:32"); }

  // A probe and how long it took.
  std::optional<std::string> timed_ping(const char* address, const char* interface) {
    auto start = Clock::now();
    std::optional<std::string> mac = arp_ping(address, interface);
    elapsed_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return mac;
  }
  // ARP frames h1 received during `action`.
  template <typename Action>
  int received_by_h1_during(Action action) {
    ArpWatch watch(lan_, "h1");
    action();
    return watch.count();
  }

  SubscriberLan lan_;
  long elapsed_ms_ = 0;
};

std::string text(const std::optional<std::string>& value) { return value ? *value : "(null)"; }

TEST_F(ArpTest, TableReadFindsACompleteEntryOnItsInterfaceOnly) {
  ASSERT_TRUE(lan_.learn("10.1.2.50")) << "expected a complete entry, saw: " << arp_table_line("10.1.2.50");
  EXPECT_EQ(text(get_arp("10.1.2.50", "lan0")), "02:ab:cd:00:00:32") << "as the kernel's table shows it";
  EXPECT_EQ(text(get_arp("10.1.2.50", "")), "02:ab:cd:00:00:32") << "an empty name matches every device";
  EXPECT_EQ(text(get_arp("10.1.2.50", "lo")), "(null)") << "the entry is on lan0, not lo";
  EXPECT_EQ(text(get_arp("10.1.2.51", "lan0")), "(null)") << "no entry at all";

  // A datagram to nobody leaves an incomplete entry behind.
  lan_.learn("10.1.2.99");
  ASSERT_NE(arp_table_line("10.1.2.99"), "") << "expected an incomplete entry for 10.1.2.99";
  EXPECT_EQ(text(get_arp("10.1.2.99", "lan0")), "(null)") << arp_table_line("10.1.2.99");
}

TEST_F(ArpTest, TableReadReportsAnAddressItCannotRead) {
  testing::internal::CaptureStderr();
  std::optional<std::string> mac = get_arp("no such host!", "lan0");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text(mac), "(null)");
  EXPECT_EQ(err.rfind("no such host!: ", 0), 0u) << "expected the resolver's error on standard error, saw: " << err;
}

TEST_F(ArpTest, AnAnsweringHostGivesItsAddressInUpperCaseWithinTheWindow) {
  EXPECT_EQ(text(timed_ping("10.1.2.50", "lan0")), "02:AB:CD:00:00:32");
  EXPECT_LT(elapsed_ms_, kArpWindowMs);
  EXPECT_EQ(text(get_arp("10.1.2.50", "lan0")), "(null)") << "a probe leaves the kernel's table alone";
}

TEST_F(ArpTest, ASilentAddressGivesNullAfterAboutTwoSeconds) {
  EXPECT_EQ(text(timed_ping("10.1.2.99", "lan0")), "(null)");
  EXPECT_GE(elapsed_ms_, kArpWindowMs) << "the whole window is waited for";
  EXPECT_LT(elapsed_ms_, 3500);
}

TEST_F(ArpTest, UnusableInterfacesGiveNullAtOnceAndSendNothing) {
  // The control: a probe on the usable interface reaches the host.
  EXPECT_EQ(received_by_h1_during([&] { timed_ping("10.1.2.50", "lan0"); }), 1);

  ip({"link", "set", "lan0", "arp", "off"});
  std::optional<std::string> mac = "unset";
  EXPECT_EQ(received_by_h1_during([&] { mac = timed_ping("10.1.2.50", "lan0"); }), 0)
      << "no request on an interface without ARP";
  EXPECT_EQ(text(mac), "(null)");
  EXPECT_LT(elapsed_ms_, 500);
  ip({"link", "set", "lan0", "arp", "on"});

  ip({"link", "set", "lan0", "down"});
  mac = "unset";
  EXPECT_EQ(received_by_h1_during([&] { mac = timed_ping("10.1.2.50", "lan0"); }), 0)
      << "no request on a down interface";
  EXPECT_EQ(text(mac), "(null)");
  EXPECT_LT(elapsed_ms_, 500);
  ip({"link", "set", "lan0", "up"});

  EXPECT_EQ(text(timed_ping("127.0.0.1", "lo")), "(null)");
  EXPECT_LT(elapsed_ms_, 500);
  EXPECT_EQ(text(timed_ping("10.1.2.50", "nosuch0")), "(null)");
  EXPECT_EQ(text(arp_ping("10.1.2.50", "")), "(null)");
  EXPECT_EQ(text(arp_ping("10.1.2.50", nullptr)), "(null)");
}

// A part written with a leading zero is decimal, as the database and the
// address check read it: "010" is ten, never eight.
TEST_F(ArpTest, ALeadingZeroIsReadAsDecimal) {
  lan_.add_host("h8", "10.1.2.8", "02:00:00:00:00:08");
  lan_.add_host("h10", "10.1.2.10", "02:00:00:00:00:10");
  ASSERT_TRUE(lan_.learn("10.1.2.8"));
  ASSERT_TRUE(lan_.learn("10.1.2.10"));
  EXPECT_EQ(text(get_arp("10.1.2.010", "lan0")), "02:00:00:00:00:10");
  EXPECT_EQ(text(get_arp("010.001.002.010", "lan0")), "02:00:00:00:00:10");
  EXPECT_EQ(text(arp_ping("10.1.2.010", "lan0")), "02:00:00:00:00:10");
  EXPECT_EQ(text(arp_ping("10.1.2.08", "lan0")), "02:00:00:00:00:08");
}

// Another host's request that reaches the socket first does not decide the probe.
TEST_F(ArpTest, AnotherHostsPacketIsPassedOver) {
  lan_.add_host("h2", "10.1.2.51", "02:00:00:00:00:51");
  FdOwner socket(::socket(PF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(socket.fd, 0);
  sockaddr_ll bound{};
  bound.sll_family = AF_PACKET;
  bound.sll_protocol = htons(ETH_P_ARP);
  bound.sll_ifindex = static_cast<int>(if_nametoindex("lan0"));
  ASSERT_EQ(bind(socket.fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);

  RunResult arping = lan_.in_host("h2", {"/usr/bin/arping", "-c", "1", "-w", "1", "-I", "eth0", "10.1.2.1"});
  unsigned char queued[64];
  ssize_t n = recv(socket.fd, queued, sizeof queued, MSG_PEEK | MSG_DONTWAIT);
  ASSERT_GE(n, 28) << "expected h2's request waiting on the socket; arping said: " << arping.output;
  in_addr sender;
  std::memcpy(&sender, queued + 14, 4);
  ASSERT_STREQ(inet_ntoa(sender), "10.1.2.51");

  EXPECT_EQ(text(_arp_ping(socket.fd, "lan0", "10.1.2.50")), "02:AB:CD:00:00:32");
}

// A link whose hardware address is longer than a packet-socket address holds
// (InfiniBand's 20 bytes; the sandbox's kernel offers no such link, so the
// bound address of lan0 is given that length): nothing is sent and nothing
// beyond the buffers is written.
TEST_F(ArpTest, AHardwareAddressLongerThanTheBufferIsNeverSent) {
  EXPECT_TRUE(hardware_length_fits(6));
  EXPECT_TRUE(hardware_length_fits(8));
  EXPECT_FALSE(hardware_length_fits(0));
  EXPECT_FALSE(hardware_length_fits(16));
  EXPECT_FALSE(hardware_length_fits(20));

  FdOwner socket(::socket(PF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(socket.fd, 0);
  // Room behind each address, so that a send that ignored the bound would
  // read and write only memory of this test.
  struct PaddedAddress {
    sockaddr_ll address{};
    unsigned char room[32] = {};
  } me, he;
  me.address.sll_family = AF_PACKET;
  me.address.sll_protocol = htons(ETH_P_ARP);
  me.address.sll_ifindex = static_cast<int>(if_nametoindex("lan0"));
  me.address.sll_hatype = 1;
  ASSERT_EQ(bind(socket.fd, reinterpret_cast<sockaddr*>(&me.address), sizeof me.address), 0);
  me.address.sll_halen = 20;
  he = me;
  std::memset(he.address.sll_addr, 0xff, sizeof he.address.sll_addr);
  in_addr target{};
  inet_aton("10.1.2.50", &target);
  int sent = 0;
  EXPECT_EQ(received_by_h1_during(
                [&] { sent = static_cast<int>(send_pack(socket.fd, in_addr{0}, target, me.address, he.address)); }),
            0);
  EXPECT_EQ(sent, -1);

  me.address.sll_halen = 6;
  he.address.sll_halen = 6;
  EXPECT_EQ(received_by_h1_during(
                [&] { sent = static_cast<int>(send_pack(socket.fd, in_addr{0}, target, me.address, he.address)); }),
            1)
      << "the control: a 6-byte address is sent";
  EXPECT_EQ(sent, 28);
}

// The request as it reaches the host: a broadcast frame with the layout of an
// Ethernet ARP request from 0.0.0.0.
TEST_F(ArpTest, TheRequestOnTheWire) {
  TempDir dir;
  const std::string capture = dir.file("capture");
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl("/usr/sbin/ip", "ip", "netns", "exec", "h1", "/usr/bin/tcpdump", "-i", "eth0", "-c", "1", "-n", "-l", "-xx",
          "arp", nullptr);
    _exit(127);
  }
  for (int i = 0; i < 100 && read_file(capture).find("listening on") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(read_file(capture).find("listening on"), std::string::npos) << read_file(capture);
  arp_ping("10.1.2.50", "lan0");
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  // tcpdump prints the frame as hexadecimal groups after "0x0000:" etc.
  std::string hex, output = read_file(capture);
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    size_t colon = line.find("0x00");
    if (colon == std::string::npos || line.find(':', colon) == std::string::npos) continue;
    std::string bytes = line.substr(line.find(':', colon) + 1);
    for (char c : bytes)
      if (isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(tolower(c));
  }
  const std::string expected =
      "ffffffffffff"
      "020000000001"
      "0806"  // broadcast from the bridge's address, ARP
      "0001"
      "0800"
      "06"
      "04"
      "0001"  // Ethernet, IPv4, lengths, request
      "020000000001"
      "00000000"  // sender: the interface, 0.0.0.0
      "ffffffffffff"
      "0a010232";  // target: all ones, 10.1.2.50
  EXPECT_EQ(hex.substr(0, expected.size()), expected) << output;
}

}  // namespace

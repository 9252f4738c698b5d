#include "libzarn/socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "libzarn/globals.h"
#include "tests/testing.h"

using namespace zarn_test;

namespace {

// Sends everything on a raw descriptor.
void send_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
}

// Reads until the peer closes or `limit` bytes came.
std::string receive_all(int fd, size_t limit = 1 << 20) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while (text.size() < limit && (n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

// A connection record on one end of a socket pair; the test speaks for the
// peer on the other end. The program's log goes to a private file.
class SocketPairTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_log_ = extern_error_log;
    log_path_ = dir_.file("error.log");
    extern_error_log = log_path_.c_str();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer_ = fds[1];
    record_ = gen_struct(fds[0], "10.0.0.7", nullptr);
    ASSERT_TRUE(record_);
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
    extern_error_log = saved_log_;
  }
  void close_peer() {
    close(peer_);
    peer_ = -1;
  }
  std::string log() { return read_file(log_path_); }

  TempDir dir_;
  std::string log_path_;
  const char* saved_log_ = nullptr;
  int peer_ = -1;
  ClientRecord record_;
};

TEST_F(SocketPairTest, RecordIsFilledFromThePeerAddress) {
  EXPECT_EQ(record_->remote_addr, "10.0.0.7");
  EXPECT_EQ(record_->cip.s_addr, inet_addr("10.0.0.7"));
  EXPECT_EQ(record_->auth_result, 0);
  ASSERT_EQ(record_->session.size(), 10u) << record_->session;
  for (char c : record_->session) EXPECT_TRUE(std::isxdigit(c) && !std::isupper(c)) << record_->session;
  EXPECT_NE(record_->fdin, record_->fdout) << "reading and writing use two descriptors";
}

TEST_F(SocketPairTest, LineEndsAreCutAndLinesComeInOrder) {
  send_all(peer_, "first\r\nsecond\nbefore\rafter\n\r\n");
  EXPECT_EQ(get_line(*record_), "first");
  EXPECT_EQ(get_line(*record_), "second");
  EXPECT_EQ(get_line(*record_), "before") << "a carriage return inside a line ends its text";
  EXPECT_EQ(get_line(*record_), "");
}

TEST_F(SocketPairTest, LongLinesAreGivenWholeUpToTheLimit) {
  std::string long_line(5000, 'x');
  long_line[1023] = 'y';
  long_line[1024] = 'z';
  send_all(peer_, long_line + "\n");
  EXPECT_EQ(get_line(*record_), long_line);

  std::string limit_line(kMaxLineLength, 'a');
  send_all(peer_, limit_line + "\r\n");
  std::optional<std::string> at_limit = get_line(*record_);
  ASSERT_TRUE(at_limit);
  EXPECT_EQ(at_limit->size(), kMaxLineLength);
}

TEST_F(SocketPairTest, ALineBeyondTheLimitIsAFailedRead) {
  std::string endless(kMaxLineLength + 2048, 'b');
  pid_t writer = fork();
  if (writer == 0) {
    // The socket buffer is smaller than the line: write from a child.
    std::string text = endless + "\n";
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(peer_, text.data() + done, text.size() - done);
      if (n <= 0) _exit(0);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  EXPECT_FALSE(get_line(*record_));
  close_peer();
  int status;
  waitpid(writer, &status, 0);
}

// Found while writing the get_line fuzz target (whose seed corpus now holds
// such a line): the line feed arrived in the same read as the bytes that took
// the line past the limit, and the line was given.
TEST_F(SocketPairTest, ALineEndedJustBeyondTheLimitIsAFailedRead) {
  for (size_t length : {kMaxLineLength + 1, kMaxLineLength + 500}) {
    SCOPED_TRACE("line of " + std::to_string(length) + " bytes");
    std::string text(length, 'c');
    text += "\r\n";
    // The socket buffer may be smaller than the line: write beside the reader.
    std::thread writer([&] { send_all(peer_, text); });
    std::optional<std::string> line = get_line(*record_);
    EXPECT_FALSE(line) << "expected a failed read, got a line of " << (line ? line->size() : 0) << " bytes";
    writer.join();
    // The reader stopped at the limit: what it left is the rest of that line.
    std::optional<std::string> rest = get_line(*record_);
    ASSERT_TRUE(rest);
    EXPECT_GE(rest->size() + kMaxLineLength + 2, length) << "the reader took more than the limit and its line end";
  }
}

// Hostile peers: binary bytes never hide a line end, and a line of them
// without end is cut at the limit like any other.
TEST_F(SocketPairTest, BinaryBytesNeitherHideALineEndNorEscapeTheLimit) {
  const char binary[] = "ab\0cd\r\n\xff\xfe\n\0\nnext\n";
  send_all(peer_, std::string(binary, sizeof binary - 1));
  EXPECT_EQ(get_line(*record_), "ab") << "a NUL ends the text, the line goes on to its line feed";
  EXPECT_EQ(get_line(*record_), "\xff\xfe");
  EXPECT_EQ(get_line(*record_), "");
  EXPECT_EQ(get_line(*record_), "next");

  // A carriage return cuts the text wherever the reads of the stream fall.
  std::string cut = "ab\r" + std::string(3000, 'x') + "\n";
  std::thread cut_writer([&] { send_all(peer_, cut); });
  EXPECT_EQ(get_line(*record_), "ab");
  cut_writer.join();

  for (char filler : {'\0', '\r'}) {
    SCOPED_TRACE(filler == '\0' ? "NULs" : "carriage returns");
    std::string endless(kMaxLineLength + 100, filler);
    std::thread writer([&] { send_all(peer_, endless + "\n"); });
    EXPECT_FALSE(get_line(*record_)) << "a line of " << endless.size() << " bytes was given";
    std::optional<std::string> rest = get_line(*record_);
    writer.join();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->size(), 0u);
  }
}

TEST_F(SocketPairTest, AnUnendedLastLineIsDropped) {
  send_all(peer_, "complete\nhalf");
  close_peer();
  EXPECT_EQ(get_line(*record_), "complete");
  EXPECT_FALSE(get_line(*record_));
}

TEST_F(SocketPairTest, SendOutWritesExactlyTheFormattedText) {
  EXPECT_EQ(send_out(record_.get(), "%d %s\r\n", 222, "Success."), 1);
  EXPECT_EQ(send_out(record_.get(), "100%% %s", "literal %s"), 1);
  close_socket(record_);
  EXPECT_FALSE(record_);
  EXPECT_EQ(receive_all(peer_), "222 Success.\r\n100% literal %s");
  EXPECT_EQ(send_out(nullptr, "x"), 0);
}

TEST_F(SocketPairTest, SendWaitGivesTheAnswer) {
  send_all(peer_, "alice\r\n");
  EXPECT_EQ(send_wait(record_.get(), "who?\r\n"), "alice");
  char buf[16] = {};
  EXPECT_EQ(read(peer_, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "who?\r\n");
}

TEST_F(SocketPairTest, GetBufferTakesWhatIsWaiting) {
  EXPECT_FALSE(get_buffer(*record_)) << "nothing waiting";
  send_all(peer_, std::string("ab\0cd", 5));
  usleep(10000);
  EXPECT_EQ(get_buffer(*record_), std::string("ab\0cd", 5));
}

TEST(SocketTimeout, ASilentPeerMakesTheReadFail) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  timeval one_second{1, 0};
  ClientRecord record = gen_struct(fds[0], "10.0.0.7", &one_second);
  ASSERT_TRUE(record);
  EXPECT_FALSE(get_line(*record)) << "the receive time-out must end the read";
  close(fds[1]);
}

TEST(CheckNewline, CutsAtTheFirstLineEnd) {
  std::string text = "ab\rc\nd";
  EXPECT_EQ(check_newline(text), 1);
  EXPECT_EQ(text, "ab");
  text = "no end\r";
  EXPECT_EQ(check_newline(text), 0);
  EXPECT_EQ(text, "no end");
}

// Listening and connecting over the loopback address.
class LoopbackTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_log_ = extern_error_log;
    log_path_ = dir_.file("error.log");
    extern_error_log = log_path_.c_str();
  }
  void TearDown() override { extern_error_log = saved_log_; }
  std::string log() { return read_file(log_path_); }

  TempDir dir_;
  std::string log_path_;
  const char* saved_log_ = nullptr;
};

TEST_F(LoopbackTest, APortOfZeroOrWithoutDigitsIsRefused) {
  EXPECT_EQ(init_socket("127.0.0.1", "0"), -2);
  EXPECT_EQ(init_socket("127.0.0.1", "x80"), -2);
  EXPECT_EQ(init_socket("127.0.0.1", nullptr), -2);
  EXPECT_EQ(log(), "Error: No port in config file\nError: No port in config file\nError: No port in config file\n");
}

TEST_F(LoopbackTest, ConnectAndTalk) {
  // Find a free port: bind to 0 and read it back.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(probe);

  int listener = init_socket("127.0.0.1", std::to_string(port).c_str());
  ASSERT_GE(listener, 0) << log();
  ClientRecord out = init_conn("127.0.0.1", port, 5);
  ASSERT_TRUE(out);
  sockaddr_in peer{};
  len = sizeof peer;
  int accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
  ASSERT_GE(accepted, 0);
  ClientRecord in = gen_struct(accepted, inet_ntoa(peer.sin_addr), nullptr);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->remote_addr, "127.0.0.1");

  EXPECT_EQ(send_out(out.get(), "hello\r\n"), 1);
  EXPECT_EQ(get_line(*in), "hello");
  close_socket(out);
  EXPECT_FALSE(get_line(*in)) << "the peer left";
  close(listener);

  EXPECT_FALSE(init_conn("localhost", port, 1)) << "only dotted addresses";
  EXPECT_FALSE(init_conn("127.0.0.1", 0, 1));
  EXPECT_FALSE(init_conn("127.0.0.1", port, 1)) << "nobody listens any more";
}

}  // namespace

#include "libzarn/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "libzarn/format.h"
#include "libzarn/log.h"
#include "libzarn/string_utils.h"

namespace {

constexpr int kListenBacklog = 9999;
constexpr unsigned kBindRetrySeconds = 10;
constexpr int kReadChunk = 1024;  // get_buffer's largest read

void set_int_option(int fd, int level, int name, int value) { setsockopt(fd, level, name, &value, sizeof value); }

}  // namespace

client_class::~client_class() {
  if (fin)
    std::fclose(fin);
  else if (fdin >= 0)
    ::close(fdin);
  if (fout)
    std::fclose(fout);
  else if (fdout >= 0)
    ::close(fdout);
}

int init_socket(const char* address, const char* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    write_log("Error: Could not initialize socket.\n");
    return -1;
  }
  if (!port || std::atoi(port) == 0) {
    write_log("Error: No port in config file\n");
    ::close(fd);
    return -2;
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
  if (address && *address) {
    server.sin_addr.s_addr = inet_addr(address);
  } else {
    write_log("No ip address specified.Listening on all.\n");
    server.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  while (::bind(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    write_log("Error: Address already in use.\n");
    ::sleep(kBindRetrySeconds);
  }
  if (::listen(fd, kListenBacklog) != 0) {
    write_log("Error: Could not create socketes.\n");
    ::close(fd);
    return -3;
  }
  return fd;
}

ClientRecord gen_struct(int socket, const char* peer_address, const timeval* timeout) {
  set_int_option(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  set_int_option(socket, SOL_SOCKET, SO_REUSEADDR, 1);
  linger no_linger{0, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
  set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  if (timeout) {
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, timeout, sizeof *timeout);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, timeout, sizeof *timeout);
  }

  auto record = std::make_unique<client_class>();
  record->fdin = socket;
  record->fin = ::fdopen(socket, "r");
  record->fdout = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
  if (record->fdout < 0) return nullptr;  // the destructor closes the socket
  record->fout = ::fdopen(record->fdout, "w");
  if (!record->fin || !record->fout) return nullptr;

  record->remote_addr = peer_address ? peer_address : "";
  record->session = md5string("%d", gen_rand()).substr(0, 10);
  record->auth_result = 0;
  inet_aton(record->remote_addr.c_str(), &record->cip);
  return record;
}

int check_newline(std::string& text) {
  int had_line_feed = text.find('\n') != std::string::npos ? 1 : 0;
  size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  return had_line_feed;
}

std::optional<std::string> get_line(client_class& record) {
  if (!record.fin) return std::nullopt;
  // A receive time-out marks the stream as failed; the next call reads anew.
  clearerr(record.fin);
  std::string line;
  // Bytes of this line read so far, whatever they are: a peer that sends
  // NULs or carriage returns without end still reaches the limit.
  size_t taken = 0;
  bool cut = false;  // the text ended at a carriage return or a NUL
  int previous = 0;
  for (;;) {
    int c = getc_unlocked(record.fin);  // the record belongs to one thread
    if (c == EOF) return std::nullopt;
    if (c == '\n') {
      // A carriage return just before the line feed belongs to the line end.
      size_t length = taken - (previous == '\r' ? 1 : 0);
      if (length > kMaxLineLength) return std::nullopt;
      return line;
    }
    // Stop reading as soon as the line can no longer be within the limit.
    if (++taken > kMaxLineLength + 1) return std::nullopt;
    if (c == '\r' || c == '\0') cut = true;
    if (!cut) line.push_back(static_cast<char>(c));
    previous = c;
  }
}

int send_out(client_class* record, const char* fmt, ...) {
  if (!record || !record->fout) return 0;
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  if (std::fwrite(text.data(), 1, text.size(), record->fout) != text.size()) return 0;
  return std::fflush(record->fout) == 0 ? 1 : 0;
}

std::optional<std::string> send_wait(client_class* record, const std::string& text) {
  if (!record || !record->fin || !record->fout) return std::nullopt;
  if (!send_out(record, "%s", text.c_str())) return std::nullopt;
  return get_line(*record);
}

void close_socket(ClientRecord& record) { record.reset(); }

ClientRecord init_conn(const char* address, int port, int seconds) {
  if (port <= 0 || port > 65535 || !address) return nullptr;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address, &peer.sin_addr) != 1) return nullptr;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    ::close(fd);
    return nullptr;
  }
  timeval limit{seconds, 0};
  return gen_struct(fd, address, seconds > 0 ? &limit : nullptr);
}

std::optional<std::string> get_buffer(client_class& record) {
  if (!record.fin) return std::nullopt;
  char peek[kReadChunk];
  ssize_t waiting = ::recv(record.fdin, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
  if (waiting <= 0) return std::nullopt;
  std::string buffer(static_cast<size_t>(waiting), '\0');
  size_t got = std::fread(buffer.data(), 1, buffer.size(), record.fin);
  buffer.resize(got);
  return buffer;
}

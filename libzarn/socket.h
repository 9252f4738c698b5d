// The line-protocol socket layer shared by the daemons that talk to peers over
// TCP: the listening socket, a connection record with a buffered read stream
// and a buffered write stream on two descriptors of one socket, line reading
// and formatted sending.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

// Longest line taken from a peer; a longer one counts as a failed read.
inline constexpr size_t kMaxLineLength = 64 * 1024;

// One TCP connection. Owns both streams and with them both descriptors; the
// destructor closes them.
struct client_class {
  int auth_result = 0;      // authentication state, set by the caller's protocol
  std::string session;      // 10 lowercase hexadecimal characters, tags log lines
  std::string remote_addr;  // the peer's dotted IPv4 address
  FILE* fin = nullptr;      // read stream on fdin
  FILE* fout = nullptr;     // write stream on fdout
  int fdin = -1;            // the socket
  int fdout = -1;           // a duplicate of the socket
  in_addr cip{};            // the peer's address in binary form

  client_class() = default;
  client_class(const client_class&) = delete;
  client_class& operator=(const client_class&) = delete;
  ~client_class();
};

using ClientRecord = std::unique_ptr<client_class>;

// Makes a listening TCP socket on `address` (all addresses when null or empty)
// and `port`. The descriptor, or -1 (no socket), -2 (no port), -3 (listen
// failed). While the address is in use, retries every 10 seconds.
int init_socket(const char* address, const char* port);

// Wraps an accepted or connected socket into a connection record and sets the
// socket's options; with `timeout`, reads and writes that wait longer fail.
// Null when the streams cannot be made (the socket is then closed).
ClientRecord gen_struct(int socket, const char* peer_address, const timeval* timeout);

// One line from the peer: the text before its first carriage return, NUL or
// line feed. Nothing when the peer left, the time-out struck, a read failed,
// the line was not ended by a line feed, or its bytes before the line end
// (carriage return and line feed) are more than kMaxLineLength; reading stops
// there, so a line without end is never read past the limit.
std::optional<std::string> get_line(client_class& record);

// 1 when `text` holds a line feed, else 0; cuts the text at its first
// carriage return or line feed in both cases.
int check_newline(std::string& text);

// Formats like printf, writes the text and flushes. 1, or 0 when there is no
// record or write stream, or the write failed.
int send_out(client_class* record, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Sends `text` and gives the peer's next line.
std::optional<std::string> send_wait(client_class* record, const std::string& text);

// Closes the record's streams and descriptors; a null record is ignored.
void close_socket(ClientRecord& record);

// An outgoing connection to a dotted IPv4 address; with `seconds` above 0 it
// becomes the read and write time-out. Null on any failure.
ClientRecord init_conn(const char* address, int port, int seconds);

// Up to 1024 bytes that are waiting on the socket, read through the read
// stream; nothing when none are waiting.
std::optional<std::string> get_buffer(client_class& record);

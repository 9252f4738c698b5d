// Line reading from a peer: the input is written into one end of a socket
// pair and closed, and the lines are read from the other end through the
// connection record the daemons use.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "fuzz/fuzz_text.h"
#include "libzarn/globals.h"
#include "libzarn/socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
  // The writer runs beside the reader: an input larger than the socket's
  // buffer would otherwise block.
  std::thread writer([&] {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(ends[1], data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(ends[1]);
  });

  ClientRecord record = gen_struct(ends[0], "127.0.0.1", nullptr);
  FUZZ_CHECK(record != nullptr);
  size_t lines = 0;
  while (std::optional<std::string> line = get_line(*record)) {
    FUZZ_CHECK(line->find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(line->size() <= kMaxLineLength);
    ++lines;
  }
  FUZZ_CHECK(lines <= size);
  record.reset();  // closes the reading end, so a writer still blocked gives up
  writer.join();
  return 0;
}

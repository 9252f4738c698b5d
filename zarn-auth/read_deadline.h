// A time limit on a stretch of reading from a subscriber, taken as a whole:
// the per-read time-out of the socket cannot stop a peer that sends one byte
// just before each read would time out.
#pragma once

// Armed from construction to destruction (one at a time per process). When
// the limit strikes, the reading side of the socket is shut: the read waiting
// then and every later one end at once, while writes still go out.
class ReadDeadline {
 public:
  ReadDeadline(int socket, int seconds);
  ~ReadDeadline();
  ReadDeadline(const ReadDeadline&) = delete;
  ReadDeadline& operator=(const ReadDeadline&) = delete;

  // Whether the limit struck.
  bool expired() const;
};

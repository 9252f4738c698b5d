// One gate session file: named by the client's address, holding
// "session;client id;MAC", renewed by changing its status-change time.
#pragma once

#include <ctime>
#include <string>

// The three fields of a session file (empty where absent).
struct SessionFields {
  std::string session;
  std::string client_id;
  std::string mac;
  bool complete = false;  // at least three fields were present
};

SessionFields parse_session_file(const std::string& content);

// Whether the fields can close a login: three fields, a non-zero client id, a MAC.
bool session_fields_valid(const SessionFields& fields);

// A session expires when its status-change time is strictly older than
// `exp_time` seconds; one exactly that old is kept.
bool session_expired(time_t ctime, time_t now, int exp_time);

// One gate session file: named by the client's address, holding
// "session;client id;MAC", renewed by changing its status-change time.
#pragma once

#include <ctime>
#include <optional>
#include <string>

// The three fields of a session file (empty where absent).
struct SessionFields {
  std::string session;
  std::string client_id;
  std::string mac;
  bool complete = false;  // at least three fields were present
};

SessionFields parse_session_file(const std::string& content);

// Whether the fields can close a login: three fields, a non-zero client id, a
// MAC that session_mac reads.
bool session_fields_valid(const SessionFields& fields);

// The MAC field in the form the access module takes: six hexadecimal pairs
// joined by colons, letter case kept. The field may have its pairs with or
// without colons and end with the carriage return of a CR LF file; anything
// else (other separators, text behind the sixth pair) gives nothing, since a
// MAC the access module refuses would close the login row but leave the
// client's forwarding open.
std::optional<std::string> session_mac(const std::string& field);

// A session expires when its status-change time is strictly older than
// `exp_time` seconds; one exactly that old is kept.
bool session_expired(time_t ctime, time_t now, int exp_time);

// Text tools shared by every program: word splitting, escaping for SQL,
// address checks, pseudo-random numbers and MD5 digests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// 1 when `text` matches the POSIX extended, case-insensitive `pattern`, 0 when
// not, minus the regex library's error code when compiling or matching fails.
int preg_match(const char* pattern, const char* text);

// Address checks: 1 or 0 (a regex failure counts as 1).
int check_ipv4_address(const char* text);
int check_ipv4_netmask(const char* text);
int check_ipv4_broadcast(const char* text);
int check_ipv4_network(const char* text);
int check_mac(const char* text);

// Cuts `text` at every occurrence of the first character of `separator` and at
// every line feed; adjacent cuts give empty pieces, an empty text one empty piece.
std::vector<std::string> splitStr(std::string_view text, std::string_view separator);

// Argument vector: slot 0 left empty for a program name, the blank-separated
// pieces of `text` from slot 1 on (size() is the argument count).
std::vector<std::string> get_argv(std::string_view text);

// `text` with every occurrence of the first character of `character` removed.
std::string trim(std::string_view text, std::string_view character);

// Every occurrence of `search` replaced by `replacement`; an empty `search`
// gives the text unchanged.
std::string str_replace(std::string text, std::string_view search, std::string_view replacement);

// Escapes for SQL string literals: slash_this backslashes " ' \ and `,
// add_slashes ' \ and ` (not the double quote).
std::string slash_this(std::string_view text);
std::string add_slashes(std::string_view text);

// Seeds the C library generator with seconds + microseconds of the time of
// day and draws one number.
int gen_rand();

// 32 lowercase hexadecimal characters of the MD5 digest of the formatted text
// (at most 4095 characters are digested).
std::string md5string(const char* format, ...) __attribute__((format(printf, 1, 2)));
// MD5 of a whole file, or nothing when it cannot be opened.
std::optional<std::string> md5file(const char* path);
// The digest of raw bytes, in the same text form.
std::string md5_hex(std::string_view bytes);

// The values that go into tc lines: checks that keep a database value from
// changing the meaning of a line, the rate texts of client rates and the
// per-client class numbers.
#pragma once

#include <string>
#include <string_view>

// An interface name as the kernel takes it (1 to 15 bytes, not "." or "..")
// drawn from letters, digits and ".-_": the other bytes the kernel allows
// (quotes, ";", "#", "\", "$", ...) mean something to tc's batch reader or a shell.
bool is_device_name(std::string_view text);

// A rate as tc reads it: a decimal number, optionally with a fraction, and an
// optional unit of tc's (bit, kbit, mbps, mibit, ..., case ignored).
bool is_rate(std::string_view text);

// A netfilter mark: 1 to 10 decimal digits.
bool is_mark(std::string_view text);

// A dotted IPv4 address: digits and dots only, and check_ipv4_address.
bool is_address(const std::string& text);

// The rate text of a client rate in kbit/s (the leading decimal number of
// `kbit`, taken within 0 to 4294967295, the column's range): from 1024 on
// "%.0fMbit" of the value / 1024, below "%.0fKbit" (half to even: 1536 and
// 2560 both give 2Mbit).
std::string rate_text(const char* kbit);

// A client's class minor: its class number (the leading decimal number) plus
// 20, which the lines write in decimal after "1:0x", so tc reads the digits as
// hexadecimal. A sum beyond int gives the largest int, a class tc refuses.
int class_minor(const char* class_number);

// The value fit for a log line: bytes other than printable ASCII become "?",
// and at most 64 of them are kept.
std::string loggable(std::string_view text);

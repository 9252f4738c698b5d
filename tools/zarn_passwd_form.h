// The stored form of a password: what the daemons compare a login against.
#pragma once

#include <optional>
#include <string>

// The cipher text of `password` under `key` as the database holds it (up to
// its first zero byte), in hexadecimal; nothing when the key is refused.
std::optional<std::string> stored_password_hex(const std::string& key, const std::string& password);

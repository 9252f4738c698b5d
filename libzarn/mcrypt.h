// Symmetric cipher wrapper for stored passwords: the text is zero-padded to
// whole blocks and enciphered under a zero-padded key. The system uses
// "tripledes" in "ecb" mode; an unknown cipher or mode gives no result.
#pragma once

#include <optional>
#include <string>

// Initialisation-vector sources of mcrypt_create_iv.
enum : int { kIvRandom = 0, kIvUrandom = 1, kIvRand = 2 };

// The raw cipher bytes (padded length, no text encoding), or nothing on failure.
// Callers compare them as zero-terminated strings, as the stored form is.
std::optional<std::string> mcrypt_encrypt(const char* cipher, const char* key, const char* text, const char* mode,
                                          int iv_source);
std::optional<std::string> mcrypt_decrypt(const char* cipher, const char* key, const char* text, const char* mode,
                                          int iv_source);
// direction 0 enciphers, 1 deciphers.
std::optional<std::string> mcrypt_do_crypt(const char* cipher, const char* key, const char* text, const char* mode,
                                           int iv_source, int direction);
// The vector size the cipher wants in this mode; 0 for an unknown cipher or mode.
int mcrypt_get_iv_size(const char* cipher, const char* mode);
// `size` bytes from /dev/random (0), /dev/urandom (1) or rand() (any other source).
std::optional<std::string> mcrypt_create_iv(int size, int source);

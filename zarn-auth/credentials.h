// The login protocol's credential encoding: a run of groups, each one digit n
// followed by n digits giving one character's code ("297298299" is "abc").
#pragma once

#include <string>
#include <string_view>

// The digit value of a character, 0 for anything that is not a digit.
int Cint(char c);
// The text from its n-th character on (counting from 1).
std::string_view Mid(std::string_view text, size_t n);
// The first n characters (fewer when the text is shorter).
std::string_view Left(std::string_view text, size_t n);

// Decodes a received line; codes of 0 add nothing, only the low 8 bits count.
std::string Decrypt(std::string_view text);

// Encodes a text the way a subscriber's client program does.
std::string Encrypt(std::string_view text);

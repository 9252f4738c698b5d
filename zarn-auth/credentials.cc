#include "zarn-auth/credentials.h"

#include <cctype>
#include <string>

int Cint(char c) { return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : 0; }

std::string_view Mid(std::string_view text, size_t n) {
  return n == 0 || n > text.size() ? std::string_view{} : text.substr(n - 1);
}

std::string_view Left(std::string_view text, size_t n) { return text.substr(0, std::min(n, text.size())); }

std::string Decrypt(std::string_view text) {
  std::string result;
  while (!text.empty()) {
    size_t n = static_cast<size_t>(Cint(text[0]));
    std::string_view group = Left(Mid(text, 2), n);
    unsigned code = 0;
    for (char c : group) {
      if (!std::isdigit(static_cast<unsigned char>(c))) break;
      code = code * 10 + static_cast<unsigned>(c - '0');
      code &= 0xFFFFFFu;  // only the low 8 bits count in the end; keep the sum small
    }
    code &= 0xFF;
    if (code != 0) result += static_cast<char>(code);
    text = Mid(text, 2 + group.size());
  }
  return result;
}

std::string Encrypt(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    std::string code = std::to_string(c);
    out += std::to_string(code.size()) + code;
  }
  return out;
}

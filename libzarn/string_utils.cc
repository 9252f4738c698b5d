#include "libzarn/string_utils.h"

#include "libzarn/fd.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <regex.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <memory>

#include "libzarn/format.h"
#include "libzarn/sql.h"

namespace {

// A dotted IPv4 host address in canonical form (no leading zeros: inet_aton
// reads "010" as 8, sscanf and tc as 10); the first number stops at 254.
constexpr const char* kIpv4AddressPattern =
    "^([0-9]|[1-9][0-9]|1[0-9]{2}|2[0-4][0-9]|25[0-4])"
    "(\\.([0-9]|[1-9][0-9]|1[0-9]{2}|2[0-4][0-9]|25[0-5])){3}$";

// A dotted netmask, broadcast or network address, canonical as above: every
// number up to 255.
constexpr const char* kIpv4MaskPattern =
    "^([0-9]|[1-9][0-9]|1[0-9]{2}|2[0-4][0-9]|25[0-5])"
    "(\\.([0-9]|[1-9][0-9]|1[0-9]{2}|2[0-4][0-9]|25[0-5])){3}$";

// Six hexadecimal pairs, colons optional; anchored at the start only, so text
// may follow the address.
constexpr const char* kMacPattern =
    "^[0-9A-F][0-9A-F][:]{0,1}[0-9A-F][0-9A-F][:]{0,1}[0-9A-F][0-9A-F][:]{0,1}"
    "[0-9A-F][0-9A-F][:]{0,1}[0-9A-F][0-9A-F][:]{0,1}[0-9A-F][0-9A-F]";

// The longest formatted text md5string digests.
constexpr size_t kMd5StringMax = 4095;
// Block size of md5file's reads.
constexpr size_t kMd5FileBlock = 4096;

// An extended, case-blind pattern compiled once; what preg_match answers for a text.
class CompiledPattern {
 public:
  explicit CompiledPattern(const char* pattern) : rc_(regcomp(&re_, pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB)) {}
  // Released also after a failed compile: the record was zeroed, and the C
  // library frees whatever a failed compile left in it.
  ~CompiledPattern() { regfree(&re_); }
  CompiledPattern(const CompiledPattern&) = delete;
  CompiledPattern& operator=(const CompiledPattern&) = delete;

  int match(const char* text) const {
    if (rc_ != 0) return -rc_;
    int rc = regexec(&re_, text, 0, nullptr, 0);
    if (rc == 0) return 1;
    if (rc == REG_NOMATCH) return 0;
    return -rc;
  }

 private:
  regex_t re_{};
  int rc_;
};

// The checks run on every row of a build, so each pattern is compiled once.
// A negative regex result (the library failed) counts as a match.
int check(const CompiledPattern& pattern, const char* text) {
  return text != nullptr && pattern.match(text) != 0 ? 1 : 0;
}

std::string to_hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return out;
}

// Releases a digest context (deleter for unique_ptr).
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Cuts `text` at every character that `is_cut` accepts; each cut and the end
// of the text close a piece, so an empty text gives one empty piece.
template <typename IsCut>
std::vector<std::string> cut_pieces(std::string_view text, IsCut is_cut) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (is_cut(text[i])) {
      pieces.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.emplace_back(text.substr(start));
  return pieces;
}

std::string escape(std::string_view text, std::string_view to_escape) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 1);
  for (char c : text) {
    if (to_escape.find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace

int preg_match(const char* pattern, const char* text) {
  if (pattern == nullptr || text == nullptr) return 0;
  return CompiledPattern(pattern).match(text);
}

int check_ipv4_address(const char* text) {
  static const CompiledPattern pattern(kIpv4AddressPattern);
  return check(pattern, text);
}
int check_ipv4_netmask(const char* text) { return check_ipv4_network(text); }
int check_ipv4_broadcast(const char* text) { return check_ipv4_network(text); }
int check_ipv4_network(const char* text) {
  static const CompiledPattern pattern(kIpv4MaskPattern);
  return check(pattern, text);
}
int check_mac(const char* text) {
  static const CompiledPattern pattern(kMacPattern);
  return check(pattern, text);
}

std::vector<std::string> splitStr(std::string_view text, std::string_view separator) {
  // An empty separator has no first character: only line feeds cut.
  const bool has_sep = !separator.empty();
  const char sep = has_sep ? separator.front() : '\n';
  return cut_pieces(text, [&](char c) { return c == '\n' || (has_sep && c == sep); });
}

std::vector<std::string> get_argv(std::string_view text) {
  std::vector<std::string> argv{std::string()};
  for (std::string& piece : cut_pieces(text, [](char c) { return c == ' '; })) argv.push_back(std::move(piece));
  return argv;
}

std::string trim(std::string_view text, std::string_view character) {
  if (character.empty()) return std::string(text);
  const char drop = character.front();
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != drop) out.push_back(c);
  return out;
}

std::string str_replace(std::string text, std::string_view search, std::string_view replacement) {
  if (search.empty()) return text;
  // After each replacement the search starts again where a new occurrence
  // could begin: text before the replaced one held none, so only matches that
  // reach into the replacement or lie behind it are possible. That is the
  // same result as searching again from the beginning, without the quadratic
  // cost.
  //
  // A replacement that holds the searched text would be found again for ever;
  // then the search goes on behind each inserted replacement instead.
  const bool self_feeding = replacement.find(search) != std::string_view::npos;
  size_t from = 0;
  for (size_t pos; (pos = text.find(search, from)) != std::string::npos;) {
    text.replace(pos, search.size(), replacement);
    if (self_feeding)
      from = pos + replacement.size();
    else
      from = pos >= search.size() - 1 ? pos - (search.size() - 1) : 0;
  }
  return text;
}

std::string slash_this(std::string_view text) { return sql_escape(escaping_connection(), text); }

std::string add_slashes(std::string_view text) { return escape(text, "'\\`"); }

int gen_rand() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  srand(static_cast<unsigned>(tv.tv_sec + tv.tv_usec));
  return rand();
}

std::string md5string(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  if (text.size() > kMd5StringMax) text.resize(kMd5StringMax);
  return md5_hex(text);
}

std::string md5_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr) != 1) return {};
  return to_hex(digest, size);
}

std::optional<std::string> md5file(const char* path) {
  if (path == nullptr) return std::nullopt;
  FdOwner file(::open(path, O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return std::nullopt;
  unsigned char block[kMd5FileBlock];
  for (;;) {
    ssize_t n = ::read(file.fd, block, sizeof block);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A digest of part of the file would be a wrong answer (a directory
      // opens but cannot be read, for one).
      return std::nullopt;
    }
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), block, static_cast<size_t>(n)) != 1) return std::nullopt;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) return std::nullopt;
  return to_hex(digest, size);
}

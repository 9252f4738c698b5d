#include "libzarn/mcrypt.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "libzarn/fd.h"
#include "libzarn/log.h"

namespace {

// A cipher and mode pair known by its stored name, and the block cipher that
// implements it. Padding is ours (zero bytes), never the cipher library's.
struct CipherMode {
  const char* cipher;
  const char* mode;
  const EVP_CIPHER* (*make)();
};

// Stored passwords use "tripledes" in "ecb" mode; triple DES with three keys
// in ECB and no padding gives the same bytes as the historic cipher.
constexpr CipherMode kCipherModes[] = {
    {"tripledes", "ecb", EVP_des_ede3_ecb},
};

const CipherMode* find_cipher(const char* cipher, const char* mode) {
  if (cipher == nullptr || mode == nullptr) return nullptr;
  for (const CipherMode& entry : kCipherModes)
    if (std::strcmp(entry.cipher, cipher) == 0 && std::strcmp(entry.mode, mode) == 0) return &entry;
  return nullptr;
}

// Releases a cipher context (deleter for unique_ptr).
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

std::optional<std::string> iv_from_device(const char* device, std::string iv) {
  FdOwner dev(::open(device, O_RDONLY | O_CLOEXEC));
  if (dev.fd < 0) {
    write_log("Error Mcrypt_iv: Could not aquire random data.\n");
    return std::nullopt;
  }
  size_t got = 0;
  while (got < iv.size()) {
    ssize_t n = ::read(dev.fd, iv.data() + got, iv.size() - got);
    if (n < 0 && errno == EINTR) continue;
    // An error or the end of the device stops the gathering.
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < iv.size()) {
    write_log("Error Mcrypt_iv: Could not gather sufficient random data.\n");
    return std::nullopt;
  }
  return iv;
}

}  // namespace

int mcrypt_get_iv_size(const char* cipher, const char* mode) {
  const CipherMode* entry = find_cipher(cipher, mode);
  if (entry == nullptr) return 0;
  const EVP_CIPHER* evp = entry->make();
  // A block mode asks for one block, even where (as in ECB) it reads none of it.
  int size = EVP_CIPHER_get_iv_length(evp);
  return size > 0 ? size : EVP_CIPHER_get_block_size(evp);
}

std::optional<std::string> mcrypt_create_iv(int size, int source) {
  if (size < 0) return std::nullopt;
  std::string iv(static_cast<size_t>(size), '\0');
  if (source == kIvRandom) return iv_from_device("/dev/random", std::move(iv));
  if (source == kIvUrandom) return iv_from_device("/dev/urandom", std::move(iv));
  // The generator is not seeded here: its state is whatever the process left.
  for (size_t i = iv.size(); i-- > 0;) iv[i] = static_cast<char>(static_cast<int64_t>(255) * rand() / 2147483647);
  return iv;
}

std::optional<std::string> mcrypt_do_crypt(const char* cipher, const char* key, const char* text, const char* mode,
                                           int iv_source, int direction) {
  const int iv_size = mcrypt_get_iv_size(cipher, mode);
  if (iv_size == 0) return std::nullopt;
  const CipherMode* entry = find_cipher(cipher, mode);
  if (key == nullptr || text == nullptr) return std::nullopt;

  // A failed vector is logged by mcrypt_create_iv; ECB does not use it, so the
  // work goes on without one.
  std::optional<std::string> iv = mcrypt_create_iv(iv_size, iv_source);

  const EVP_CIPHER* evp = entry->make();
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (evp == nullptr || !ctx) {
    write_log("Error Mcrypt: mcrypt_module_open failed.\n");
    return std::nullopt;
  }

  const size_t key_size = static_cast<size_t>(EVP_CIPHER_get_key_length(evp));
  const size_t key_length = std::strlen(key);
  if (key_length > key_size) {
    write_log("Error Mcrypt: Size of key is too large for this algorithm.\n");
    return std::nullopt;
  }
  std::string key_buffer(key_size, '\0');
  std::memcpy(key_buffer.data(), key, key_length);

  // Whole blocks, the padding zero bytes; an empty text still fills one block.
  const size_t block = static_cast<size_t>(EVP_CIPHER_get_block_size(evp));
  const size_t text_length = std::strlen(text);
  const size_t blocks = text_length == 0 ? 1 : (text_length + block - 1) / block;
  std::string input(blocks * block, '\0');
  std::memcpy(input.data(), text, text_length);

  const int iv_length = EVP_CIPHER_get_iv_length(evp);
  const unsigned char* iv_bytes = nullptr;
  if (iv_length > 0 && iv && iv->size() >= static_cast<size_t>(iv_length))
    iv_bytes = reinterpret_cast<const unsigned char*>(iv->data());

  const int enc = direction == 0 ? 1 : 0;
  if (EVP_CipherInit_ex(ctx.get(), evp, nullptr, reinterpret_cast<const unsigned char*>(key_buffer.data()), iv_bytes,
                        enc) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    write_log("Error Mcrypt: mcrypt_generic_init failed.\n");
    return std::nullopt;
  }

  std::string output(input.size() + block, '\0');
  auto* out = reinterpret_cast<unsigned char*>(output.data());
  int written = 0;
  int tail = 0;
  if (input.size() > static_cast<size_t>(INT_MAX) - block ||
      EVP_CipherUpdate(ctx.get(), out, &written, reinterpret_cast<const unsigned char*>(input.data()),
                       static_cast<int>(input.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out + written, &tail) != 1) {
    // The cipher library gives no error number; -1 stands for its failure.
    if (enc)
      write_log("Error Mcrypt: mcrypt_generic failed. return (%d)\n", -1);
    else
      write_log("Error Mdecrypt: mcrypt_generic failed. return (%d)\n", -1);
    return std::nullopt;
  }
  output.resize(static_cast<size_t>(written) + static_cast<size_t>(tail));
  return output;
}

std::optional<std::string> mcrypt_encrypt(const char* cipher, const char* key, const char* text, const char* mode,
                                          int iv_source) {
  return mcrypt_do_crypt(cipher, key, text, mode, iv_source, 0);
}

std::optional<std::string> mcrypt_decrypt(const char* cipher, const char* key, const char* text, const char* mode,
                                          int iv_source) {
  return mcrypt_do_crypt(cipher, key, text, mode, iv_source, 1);
}

#include "app/web_password.h"

#include <crypt.h>
#include <string.h>

#include <cstring>
#include <memory>

namespace app {
namespace {

constexpr const char* kHashMethod = "$y$";  // yescrypt, libcrypt's default cost
constexpr std::size_t kStoredHashSize = 100;  // PAPPL 1.3's password field, with its terminating zero

// libcrypt's working space, wiped when done: it held the password.
struct CryptSpace {
  crypt_data data{};
  ~CryptSpace() { explicit_bzero(&data, sizeof data); }
};

bool hasControlCharacter(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

bool sameText(const char* a, const char* b) {
  const std::size_t length = std::strlen(a);
  if (length != std::strlen(b)) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < length; ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

std::string storedHash(pappl_system_t* system) {
  char hash[kStoredHashSize] = "";
  if (papplSystemGetPassword(system, hash, sizeof hash) == nullptr) return {};
  return hash;
}

}  // namespace

std::string hashWebPassword(const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(kHashMethod, 0, nullptr, 0, setting, sizeof setting) == nullptr) return {};
  auto space = std::make_unique<CryptSpace>();
  const char* hash = crypt_rn(password.c_str(), setting, &space->data, sizeof space->data);
  if (hash == nullptr || hash[0] == '*' || std::strlen(hash) >= kStoredHashSize) return {};
  return hash;
}

bool matchesWebPassword(const std::string& hash, const char* password) {
  if (hash.rfind(kHashMethod, 0) != 0 || password == nullptr) return false;
  auto space = std::make_unique<CryptSpace>();
  const char* computed = crypt_rn(password, hash.c_str(), &space->data, sizeof space->data);
  return computed != nullptr && computed[0] != '*' && sameText(computed, hash.c_str());
}

bool setWebPassword(pappl_system_t* system, const std::string& password, std::string* why) {
  if (password.size() < kShortestWebPassword) {
    *why = "the password is shorter than " + std::to_string(kShortestWebPassword) + " characters";
    return false;
  }
  if (password.size() > kLongestWebPassword) {
    *why = "the password is longer than " + std::to_string(kLongestWebPassword) + " characters";
    return false;
  }
  if (hasControlCharacter(password)) {
    *why = "the password holds a control character";
    return false;
  }
  const std::string hash = hashWebPassword(password);
  if (hash.empty()) {
    *why = "the password could not be hashed";
    return false;
  }
  papplSystemSetPassword(system, hash.c_str());
  return true;
}

bool webPasswordSet(pappl_system_t* system) { return storedHash(system).rfind(kHashMethod, 0) == 0; }

bool isWebPassword(pappl_system_t* system, const char* password) {
  return matchesWebPassword(storedHash(system), password);
}

}  // namespace app

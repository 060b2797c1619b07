// MD5 (RFC 1321) and SHA-256 (FIPS 180-4), fed in pieces as bytes are
// written, for the report of a recovery.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace rv {

class Md5 {
 public:
  Md5();
  void Update(const void* data, size_t length);
  // Lower-case hex of the digest; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const uint8_t* p);
  uint32_t state_[4];
  uint64_t length_ = 0;  // bytes fed
  uint8_t buffer_[64];
  size_t held_ = 0;
};

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t length);
  std::string HexDigest();

 private:
  void Block(const uint8_t* p);
  uint32_t state_[8];
  uint64_t length_ = 0;
  uint8_t buffer_[64];
  size_t held_ = 0;
};

}  // namespace rv

// MD5 and SHA-256 against the RFC 1321 and FIPS 180-4 vectors, fed whole
// and in uneven pieces (the pieces a recovery writes).
#include <gtest/gtest.h>

#include <string>

#include "platform/digest.h"

namespace rv {
namespace {

template <typename Hash>
std::string Digest(const std::string& s, size_t piece) {
  Hash h;
  for (size_t at = 0; at < s.size(); at += piece) h.Update(s.data() + at, std::min(piece, s.size() - at));
  return h.HexDigest();
}

TEST(Digest, KnownVectorsWholeAndInPieces) {
  const std::string million(1000000, 'a');
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (size_t piece : {size_t{1}, size_t{3}, size_t{63}, size_t{64}, size_t{65}, size_t{4093}, size_t{1} << 20}) {
    EXPECT_EQ(Digest<Md5>("", piece), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest<Md5>("abc", piece), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest<Md5>("12345678901234567890123456789012345678901234567890123456789012345678901234567890", piece),
              "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(Digest<Sha256>("", piece), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest<Sha256>("abc", piece), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest<Sha256>(two, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  }
  EXPECT_EQ(Digest<Sha256>(million, 999), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Digest<Md5>(million, 999), "7707d6ae4e027c70eea2a935c2296f21");
  // 55 and 56 bytes: the length either fits the last block or needs another.
  EXPECT_EQ(Digest<Sha256>(std::string(55, 'a'), 7), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(Digest<Sha256>(std::string(56, 'a'), 7), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

}  // namespace
}  // namespace rv

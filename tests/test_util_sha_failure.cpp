// The digest helpers report a failing digest library as false. A process
// whose only loaded provider has no digests makes every digest fail; this
// needs a process of its own, before anything loads the default provider.
#include <gtest/gtest.h>
#include <openssl/provider.h>

#include <cstring>

#include "varno_util.h"

TEST(UtilShaFailure, LibraryFailureIsReported) {
  OSSL_PROVIDER* null_provider = OSSL_PROVIDER_load(nullptr, "null");
  ASSERT_NE(null_provider, nullptr);

  u8 out[48];
  std::memset(out, 0xA5, sizeof out);
  const u8 abc[] = {'a', 'b', 'c'};
  EXPECT_FALSE(VARNO_UTIL::get_sha_256(abc, 3, out));
  EXPECT_FALSE(VARNO_UTIL::get_sha_384(abc, 3, out));
  EXPECT_FALSE(VARNO_UTIL::get_sha_256(nullptr, 0, out));
  // Nothing half-computed reaches the caller.
  for (u8 b : out) EXPECT_EQ(b, 0xA5);

  // With the digests back, the same calls succeed.
  OSSL_PROVIDER* default_provider = OSSL_PROVIDER_load(nullptr, "default");
  ASSERT_NE(default_provider, nullptr);
  EXPECT_TRUE(VARNO_UTIL::get_sha_256(abc, 3, out));
  EXPECT_EQ(out[0], 0xBA);
  EXPECT_TRUE(VARNO_UTIL::get_sha_384(abc, 3, out));
  EXPECT_EQ(out[0], 0xCB);
  OSSL_PROVIDER_unload(default_provider);
  OSSL_PROVIDER_unload(null_provider);
}

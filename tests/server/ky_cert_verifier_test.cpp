// Loading the pinned certificates from the registry: the list ends at the
// first missing or non-binary value, and an empty pin matches nothing.
#include "server/ky_cert_verifier.h"

#include <gtest/gtest.h>

#include "platform/sqlite_registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

TEST(KyCertVerifier, LoadsCertificatesUpToTheFirstGapOrWrongType) {
  testing_support::TempDir dir;
  testing_support::ScopedEnv env("HALVERN_REGISTRY_DIR", dir.File("registry"));
  SqliteRegistry registry(dir.File("registry"));
  const std::string key = KyCertVerifier::CertificatesKey();
  const std::vector<uint8_t> a{1, 2, 3}, b{4, 5};
  KyCertVerifier verifier;
  ASSERT_TRUE(registry.CreateKeyPath(key));
  registry.SetBinary(key, "certificate1", a);
  registry.SetString(key, "certificate2", "not binary");
  registry.SetBinary(key, "certificate3", b);
  EXPECT_TRUE(verifier.Load());
  EXPECT_EQ(verifier.certificates(), std::vector<std::vector<uint8_t>>{a});
  EXPECT_FALSE(verifier.Verify(a.data(), 2));
  registry.SetBinary(key, "certificate1", {});
  EXPECT_TRUE(verifier.Load());  // an empty pin counts, but matches nothing
  EXPECT_FALSE(verifier.Verify(nullptr, 0));
}

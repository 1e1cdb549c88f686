#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include <tervala/HmacAlgorithm.hpp>

namespace tervala {
namespace {

struct Named {
  std::string name;
  std::optional<HmacAlgorithm> algorithm;
};

void PrintTo(const Named& named, std::ostream* out) {
  *out << ::testing::PrintToString(named.name);
}

class Names : public ::testing::TestWithParam<Named> {};

TEST_P(Names, UpperCaseFullyThenCompareExactly) {
  EXPECT_EQ(hmacAlgorithmFromName(GetParam().name), GetParam().algorithm) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Known, Names,
    ::testing::Values(Named{"SHA1", HmacAlgorithm::SHA1}, Named{"sha1", HmacAlgorithm::SHA1},
                      Named{"ShA1", HmacAlgorithm::SHA1}, Named{"SHA256", HmacAlgorithm::SHA256},
                      Named{"sha256", HmacAlgorithm::SHA256}, Named{"Sha256", HmacAlgorithm::SHA256},
                      Named{"SHA512", HmacAlgorithm::SHA512}, Named{"sHa512", HmacAlgorithm::SHA512},
                      // U+017F LATIN SMALL LETTER LONG S upper-cases to "S".
                      Named{"\xC5\xBFha1", HmacAlgorithm::SHA1},
                      Named{"\xC5\xBFHA512", HmacAlgorithm::SHA512}),
    [](const auto& info) { return std::to_string(info.index); });

INSTANTIATE_TEST_SUITE_P(
    Unknown, Names,
    ::testing::Values(Named{"SHA-1", std::nullopt}, Named{"SHA 256", std::nullopt},
                      Named{" SHA1", std::nullopt}, Named{"SHA1 ", std::nullopt},
                      Named{"SHA384", std::nullopt}, Named{"SHA224", std::nullopt},
                      Named{"MD5", std::nullopt}, Named{"", std::nullopt}, Named{"1", std::nullopt},
                      Named{"SHA", std::nullopt}, Named{"SHA1\n", std::nullopt},
                      Named{"SHA1SHA1", std::nullopt}, Named{std::string("SHA1\0", 5), std::nullopt},
                      // Sharp s upper-cases to "SS": "SSHA1" is no name.
                      Named{"\xC3\x9Fha1", std::nullopt},
                      // Fullwidth letters and digits upper-case to themselves, not to ASCII.
                      Named{"\xEF\xBC\xB3HA1", std::nullopt}, Named{"SHA\xEF\xBC\x91", std::nullopt},
                      // Dotless i and the "st" ligature have ASCII upper cases, but not these names.
                      Named{"\xC4\xB1SHA1", std::nullopt}, Named{"\xEF\xAC\x86HA1", std::nullopt},
                      // Text that is not UTF-8.
                      Named{"SHA1\xFF", std::nullopt}, Named{"\xC5SHA1", std::nullopt}),
    [](const auto& info) { return std::to_string(info.index); });

TEST(HmacAlgorithm, RawValuesRoundTripAndOthersAreAbsent) {
  for (const auto algorithm : {HmacAlgorithm::SHA1, HmacAlgorithm::SHA256, HmacAlgorithm::SHA512}) {
    EXPECT_EQ(hmacAlgorithmFromRawValue(rawValue(algorithm)), algorithm);
  }
  EXPECT_EQ(rawValue(HmacAlgorithm::SHA1), 0);
  EXPECT_EQ(rawValue(HmacAlgorithm::SHA256), 1);
  EXPECT_EQ(rawValue(HmacAlgorithm::SHA512), 2);
  for (const std::int64_t other :
       {std::int64_t{-1}, std::int64_t{3}, std::int64_t{4}, INT64_MIN, INT64_MAX}) {
    EXPECT_EQ(hmacAlgorithmFromRawValue(other), std::nullopt) << other;
  }
  EXPECT_EQ(hmacAlgorithmFromName("sha1"), hmacAlgorithmFromRawValue(0));
}

TEST(HmacAlgorithm, InfoGivesThePrimitiveIdentifierAndDigestLength) {
  EXPECT_EQ(getCCHmacAlgorithmInfo(HmacAlgorithm::SHA1), (HmacAlgorithmInfo{0, 20}));
  EXPECT_EQ(getCCHmacAlgorithmInfo(HmacAlgorithm::SHA256), (HmacAlgorithmInfo{2, 32}));
  EXPECT_EQ(getCCHmacAlgorithmInfo(HmacAlgorithm::SHA512), (HmacAlgorithmInfo{4, 64}));
}

TEST(HmacAlgorithm, ServesAsAKeyOfAHashedSet) {
  const std::unordered_set<HmacAlgorithm> set{HmacAlgorithm::SHA1, HmacAlgorithm::SHA256,
                                              HmacAlgorithm::SHA512, *hmacAlgorithmFromName("sha256")};
  EXPECT_EQ(set.size(), 3U);
  EXPECT_EQ(std::hash<HmacAlgorithm>{}(HmacAlgorithm::SHA512),
            std::hash<HmacAlgorithm>{}(*hmacAlgorithmFromRawValue(2)));
}

}  // namespace
}  // namespace tervala

#include "retention/retention.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

namespace {

class RetentionSeconds : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t, int64_t>> {
};

TEST_P(RetentionSeconds, MultipliesCountByUnitIn64Bits) {
  settings::ModuleSettings s;
  s.time_unit = std::get<0>(GetParam());
  s.time_count = std::get<1>(GetParam());
  EXPECT_EQ(retention::retention_seconds(s), std::get<2>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Units, RetentionSeconds,
    ::testing::Values(std::make_tuple(0u, 2u, 7200), std::make_tuple(1u, 24u, 86400),
                      std::make_tuple(2u, 3u, 259200), std::make_tuple(3u, 1u, 2592000),
                      std::make_tuple(4u, 1u, 31104000), std::make_tuple(99u, 1u, 3600),
                      std::make_tuple(1u, 0u, 0),
                      std::make_tuple(4u, 4294967295u, int64_t{4294967295} * 31104000)));

TEST(Retention, AgedOnlyPastTheBoundAndNeverThroughOverflow) {
  EXPECT_FALSE(retention::is_aged(1000, 100, 1100));  // exactly at the bound
  EXPECT_TRUE(retention::is_aged(1000, 100, 1101));
  EXPECT_FALSE(retention::is_aged(1000, 0, 1000));
  EXPECT_FALSE(retention::is_aged(INT64_MAX - 10, 100, INT64_MAX));  // a far-future file
}

}  // namespace

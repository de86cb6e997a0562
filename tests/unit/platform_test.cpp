// The operating-system layer: the memory figures that the benchmark reports.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/platform.h"

// Touching a fresh 64 MiB block must show in the resident figure and in its
// anonymous part, and the peak can never be below what is resident now.
TEST(Platform, ResidentMemoryFollowsTouchedPages) {
    constexpr size_t kBlock = size_t{64} << 20;
    const int64_t before = platResidentBytes();
    const int64_t anonBefore = platAnonResidentBytes();
    ASSERT_GT(before, 0);
    ASSERT_GT(anonBefore, 0);
    std::unique_ptr<char[]> block(new char[kBlock]);
    std::memset(block.get(), 1, kBlock);
    const int64_t after = platResidentBytes();
    const int64_t anonAfter = platAnonResidentBytes();
    EXPECT_GE(after - before, static_cast<int64_t>(kBlock / 2)) << "before " << before;
    EXPECT_GE(anonAfter - anonBefore, static_cast<int64_t>(kBlock / 2)) << "before " << anonBefore;
    EXPECT_LE(anonAfter, after);
    EXPECT_GE(platPeakResidentBytes(), after);
    EXPECT_EQ(block[kBlock - 1], 1);
}

#include <gtest/gtest.h>

#include <cstdint>

#include "basics/checked_alloc.h"

namespace {

// The message is the last line: the sanitizer build's allocator warns on a line of its own first.
TEST(CheckedAlloc, FailureEndsTheRunNamingTheRequestedSize)
{
    EXPECT_EXIT(basics::xmalloc(SIZE_MAX - 8), testing::ExitedWithCode(2),
                "(^|\n)ERROR: out of memory allocating 18446744073709551607 bytes\n$");
    EXPECT_EXIT(basics::xrealloc(nullptr, SIZE_MAX - 8), testing::ExitedWithCode(2),
                "(^|\n)ERROR: out of memory reallocating 18446744073709551607 bytes\n$");
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/report.h"

namespace {

TEST(BoundedFormat, CutsToTheBufferAndAlwaysTerminates)
{
    struct Row {
        const char* name;
        size_t size;
        const char* text;
        const char* expected;
    } rows[] = {
        {"fits", 16, "folder", "folder"},
        {"exactly size - 1", 7, "folder", "folder"},
        {"one too long", 6, "folder", "folde"},
        {"room for the terminator only", 1, "folder", ""},
    };
    for (const Row& r : rows) {
        char buf[32];
        std::memset(buf, 'x', sizeof buf);
        engine::bounded_format(buf, r.size, "%s", r.text);
        EXPECT_STREQ(buf, r.expected) << r.name;
        EXPECT_EQ(buf[r.size], 'x') << r.name << ": wrote past the buffer";
    }
}

TEST(Allocation, ZeroBytesGiveABlock)
{
    void* p = engine::xmalloc(0);
    ASSERT_NE(p, nullptr);
    p = engine::xrealloc(p, 0);
    ASSERT_NE(p, nullptr);
    std::free(p);
}

TEST(Allocation, FailureNamesTheRequestedSize)
{
    EXPECT_EXIT(engine::xmalloc(SIZE_MAX - 8), testing::ExitedWithCode(2),
                "^ERROR: out of memory allocating 18446744073709551607 bytes\n$");
    EXPECT_EXIT(engine::xrealloc(nullptr, SIZE_MAX - 8), testing::ExitedWithCode(2),
                "^ERROR: out of memory reallocating 18446744073709551607 bytes\n$");
}

TEST(Fatal, PrintsOneLineAndExitsWithTwo)
{
    EXPECT_EXIT(engine::fatal("cannot create output directory %s", "out"), testing::ExitedWithCode(2),
                "^ERROR: cannot create output directory out\n$");
}

TEST(ClipError, PrefixesTheClipNumber)
{
    testing::internal::CaptureStderr();
    engine::clip_error(7, "rename failed: %s", "No such file or directory");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "clip 7: rename failed: No such file or directory\n");
}

}  // namespace

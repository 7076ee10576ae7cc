#include <gtest/gtest.h>

#include "mp4/box.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

Bytes header(uint32_t size32, const char* type, int64_t size64 = -1, size_t total = 0)
{
    Bytes b;
    mkcard::put_be32(b, size32);
    mkcard::put_text(b, type);
    if (size64 >= 0)
        mkcard::put_be64(b, uint64_t(size64));
    if (b.size() < total)
        b.resize(total, 0);
    return b;
}

struct HeaderCase {
    const char* name;
    Bytes buf;
    uint64_t offset;
    int ok;
    uint64_t size, header_size;
};

// The image reader is held to the same rules by fuzz/fuzz_box.cpp.
TEST(Mp4Box, HeaderRules)
{
    Bytes short64 = header(1, "mdat", 15);
    short64.pop_back();
    Bytes tail_box = header(0, "pad ", -1, 32);
    mkcard::put_bytes(tail_box, header(10, "tail", -1, 10));
    const HeaderCase cases[] = {
        {"plain 32-bit size equal to the bytes left", header(24, "free", -1, 24), 0, 1, 24, 8},
        {"size one byte beyond the buffer", header(25, "free", -1, 24), 0, 0, 0, 0},
        {"size 0 runs to the end", header(0, "mdat", -1, 40), 0, 1, 40, 8},
        {"size 7 is below the header", header(7, "free", -1, 16), 0, 0, 0, 0},
        {"size 1 takes the 64-bit size", header(1, "mdat", 32, 32), 0, 1, 32, 16},
        {"size 1 with a 64-bit size below 16", header(1, "mdat", 15, 32), 0, 0, 0, 0},
        {"size 1 with only 15 bytes left", short64, 0, 0, 0, 0},
        {"offset at the buffer end", header(8, "free", -1, 16), 16, 0, 0, 0},
        {"offset 7 bytes before the end", header(8, "free", -1, 16), 9, 0, 0, 0},
        {"offset beyond the end", header(8, "free"), 100, 0, 0, 0},
        {"size 0 with exactly 8 bytes left", header(8, "skip", -1, 16), 8, 1, 8, 8},
        {"10-byte box within 16 bytes of the end", tail_box, 32, 1, 10, 8},
    };
    for (const HeaderCase& c : cases) {
        mp4::BoxHeader out{};
        EXPECT_EQ(mp4::read_box_header_mem(c.buf.data(), c.buf.size(), c.offset, &out), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(out.size, c.size) << c.name;
            EXPECT_EQ(out.header_size, c.header_size) << c.name;
            EXPECT_EQ(out.offset, c.offset) << c.name;
            EXPECT_EQ(std::memcmp(out.type, c.buf.data() + c.offset + 4, 4), 0) << c.name;
            EXPECT_EQ(out.type[4], '\0') << c.name;
        }
    }
}

struct ChildCase {
    const char* name;
    Bytes buf;
    const char* wanted;
    int ok;
    uint64_t offset;
};

TEST(Mp4Box, ChildSearch)
{
    Bytes two = fixture::boxes({fixture::box("free", Bytes(4)), fixture::box("mdia", Bytes(8))});
    Bytes bad_first = fixture::boxes({header(7, "free"), fixture::box("mdia", Bytes(8))});
    Bytes zero_wanted = fixture::boxes({fixture::box("free", Bytes(4)), header(0, "mdia", -1, 20)});
    Bytes zero_other = fixture::boxes({header(0, "free", -1, 20), fixture::box("mdia", Bytes(8))});
    const ChildCase cases[] = {
        {"second child found", two, "mdia", 1, 12},
        {"missing type", two, "trak", 0, 0},
        {"malformed first child hides the wanted one", bad_first, "mdia", 0, 0},
        {"size-0 box found when it is the wanted type", zero_wanted, "mdia", 1, 12},
        {"size-0 box of another type ends the search", zero_other, "mdia", 0, 0},
    };
    for (const ChildCase& c : cases) {
        mp4::BoxHeader out{};
        EXPECT_EQ(mp4::find_child_box(c.buf.data(), c.buf.size(), 0, c.buf.size(), c.wanted, &out), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(out.offset, c.offset) << c.name;
        }
    }
}

TEST(Mp4Box, TrackHandler)
{
    struct Case {
        const char* name;
        size_t hdlr_payload;
        int ok;
    } cases[] = {{"12-byte payload", 12, 1}, {"11-byte payload", 11, 0}};
    for (const Case& c : cases) {
        Bytes payload = {0, 0, 0, 0, 0, 0, 0, 0, 's', 'o', 'u', 'n'};
        payload.resize(c.hdlr_payload);
        Bytes trak = fixture::box("trak", fixture::box("mdia", fixture::box("hdlr", payload)));
        mp4::BoxHeader t{};
        ASSERT_EQ(mp4::read_box_header_mem(trak.data(), trak.size(), 0, &t), 1);
        char handler[5] = {};
        EXPECT_EQ(mp4::read_track_handler(trak.data(), trak.size(), &t, handler), c.ok) << c.name;
        if (c.ok) {
            EXPECT_STREQ(handler, "soun") << c.name;
        }
    }
}

}  // namespace

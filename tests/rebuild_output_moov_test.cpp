#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rebuild/output_moov.h"

// GCC 12 reports the byte appends of these builders as overflows after inlining (a known false
// positive of -Wstringop-overflow); the builders only append.
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Wstringop-overread"

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v)
{
    for (int i = 3; i >= 0; i--)
        b.push_back(uint8_t(v >> (8 * i)));
}

Bytes box(const char* type, const Bytes& body)
{
    Bytes b;
    put32(b, uint32_t(body.size() + 8));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes box64(const char* type, const Bytes& body)
{
    Bytes b;
    put32(b, 1);
    b.insert(b.end(), type, type + 4);
    uint64_t size = body.size() + 16;
    put32(b, uint32_t(size >> 32));
    put32(b, uint32_t(size));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes trak(const char* handler)
{
    Bytes hdlr_body(24, 0);
    std::copy(handler, handler + 4, hdlr_body.begin() + 8);
    return box("trak", cat({box("tkhd", Bytes(20, 0x11)), box("mdia", cat({box("mdhd", Bytes(24, 0)), box("hdlr", hdlr_body)}))}));
}

// A trak with its handler box missing altogether.
Bytes trak_without_handler() { return box("trak", cat({box("tkhd", Bytes(20, 0x22)), box("mdia", box("mdhd", Bytes(24, 0)))})); }

// A child of size 0 reaching to the end of the movie box.
Bytes open_ended(const Bytes& child)
{
    Bytes b = child;
    b[0] = b[1] = b[2] = b[3] = 0;
    return b;
}

struct Case {
    const char* name;
    Bytes moov;
    int keep;
    int ok;
    Bytes expected;
    int removed;
};

TEST(OutputMoov, DropsNonAudioVideoTracksAndCopiesTheRestUnchanged)
{
    Bytes mvhd = box("mvhd", Bytes(100, 0x33));
    Bytes vide = trak("vide"), soun = trak("soun"), meta = trak("meta"), vide2 = trak("vide");
    Bytes udta = box("udta", Bytes(5, 0x44));
    Bytes full = box("moov", cat({mvhd, vide, soun, meta}));
    Bytes cases_moov_broken = full;
    cases_moov_broken[4] = 'm', cases_moov_broken[5] = 'o', cases_moov_broken[6] = 'o', cases_moov_broken[7] = 'f';
    Bytes bad_child = box("moov", cat({mvhd, vide, Bytes{0, 0, 0, 3, 'b', 'a', 'd', '!'}, soun}));

    const Case cases[] = {
        {"vide, soun and meta: meta dropped, 8-byte header", full, 0, 1, box("moov", cat({mvhd, vide, soun})), 1},
        {"keep flag: exact copy, nothing removed", full, 1, 1, full, 0},
        {"second video track kept, other boxes kept", box("moov", cat({mvhd, vide, udta, vide2})), 0, 1,
         box("moov", cat({mvhd, vide, udta, vide2})), 0},
        {"64-bit source header stays 64-bit", box64("moov", cat({mvhd, meta, vide})), 0, 1,
         box64("moov", cat({mvhd, vide})), 1},
        {"trak without handler is dropped", box("moov", cat({mvhd, trak_without_handler(), vide})), 0, 1,
         box("moov", cat({mvhd, vide})), 1},
        {"size-0 meta child dropped whole", box("moov", cat({mvhd, vide, open_ended(meta)})), 0, 1,
         box("moov", cat({mvhd, vide})), 1},
        {"size-0 sound child kept whole", box("moov", cat({mvhd, open_ended(soun)})), 0, 1,
         box("moov", cat({mvhd, open_ended(soun)})), 0},
        {"unparsable child ends the walk", bad_child, 0, 1, box("moov", cat({mvhd, vide})), 0},
        {"not a moov box", cases_moov_broken, 0, 0, {}, 0},
        {"too short for a header", Bytes{0, 0, 0}, 0, 0, {}, 0},
    };
    for (const Case& c : cases) {
        Bytes src = c.moov;
        mp4::MovieInfo movie{};
        movie.moov_bytes = src.data();
        movie.moov_size = src.size();
        rebuild::OutputMoov out{};
        int ok = rebuild::build_output_moov(&movie, c.keep, &out);
        ASSERT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(src, c.moov) << c.name << ": source changed";
        if (!ok)
            continue;
        EXPECT_EQ(Bytes(out.bytes, out.bytes + out.length), c.expected) << c.name;
        EXPECT_EQ(out.removed_tracks, c.removed) << c.name;
        rebuild::free_output_moov(&out);
    }
}

}  // namespace

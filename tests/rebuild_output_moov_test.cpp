#include <gtest/gtest.h>

#include "analysis_fixture.h"
#include "rebuild/output_moov.h"

namespace {

using namespace fixture;

Bytes box64(const char* type, const Bytes& body)
{
    Bytes b;
    mkcard::put_be32(b, 1);
    mkcard::put_text(b, type);
    mkcard::put_be64(b, body.size() + 16);
    mkcard::put_bytes(b, body);
    return b;
}

// A track with this handler and, when `entry` is given, an stsd listing one sample entry of that type.
Bytes trak(const char* handler, bool with_handler = true, const char* entry = nullptr)
{
    Bytes hdlr(24, 0);
    std::copy(handler, handler + 4, hdlr.begin() + 8);
    Bytes mdhd = box("mdhd", Bytes(24, 0));
    Bytes stsd = box("stsd", boxes({full(0, {1}), box(entry ? entry : "none", Bytes(28, 0))}));
    Bytes minf = entry ? box("minf", box("stbl", stsd)) : Bytes{};
    Bytes mdia = box("mdia", with_handler ? boxes({mdhd, box("hdlr", hdlr), minf}) : mdhd);
    return box("trak", boxes({box("tkhd", Bytes(20, 0x11)), mdia}));
}

// A child of size 0 reaching to the end of the movie box.
Bytes open_ended(Bytes child)
{
    mkcard::set_be32(child.data(), 0);
    return child;
}

TEST(OutputMoov, DropsNonAudioVideoTracksAndCopiesTheRestUnchanged)
{
    Bytes mvhd = box("mvhd", Bytes(100, 0x33));
    Bytes vide = trak("vide"), soun = trak("soun"), meta = trak("meta"), udta = box("udta", Bytes(5, 0x44));
    Bytes full = box("moov", boxes({mvhd, vide, soun, meta}));
    Bytes moof = full;
    std::memcpy(moof.data() + 4, "moof", 4);
    struct Case {
        const char* name;
        Bytes moov;
        int keep, ok;
        Bytes expected;
        int removed;
    } cases[] = {
        {"vide, soun and meta: meta dropped, 8-byte header", full, 0, 1, box("moov", boxes({mvhd, vide, soun})), 1},
        {"second video track kept, other boxes kept", box("moov", boxes({mvhd, vide, udta, trak("vide")})), 0, 1,
         box("moov", boxes({mvhd, vide, udta, trak("vide")})), 0},
        {"64-bit source header stays 64-bit", box64("moov", boxes({mvhd, meta, vide})), 0, 1,
         box64("moov", boxes({mvhd, vide})), 1},
        {"trak without handler is dropped", box("moov", boxes({mvhd, trak("vide", false), vide})), 0, 1,
         box("moov", boxes({mvhd, vide})), 1},
        {"size-0 meta child dropped whole", box("moov", boxes({mvhd, vide, open_ended(meta)})), 0, 1,
         box("moov", boxes({mvhd, vide})), 1},
        {"size-0 sound child kept whole", box("moov", boxes({mvhd, open_ended(soun)})), 0, 1,
         box("moov", boxes({mvhd, open_ended(soun)})), 0},
        {"unparsable child ends the walk", box("moov", boxes({mvhd, vide, Bytes{0, 0, 0, 3, 'b', 'a', 'd', '!'}, soun})),
         0, 1, box("moov", boxes({mvhd, vide})), 0},
        // a flipped byte in the sound's sample entry: no player decodes it, so the track goes as
        // the metadata track goes, and the clip plays as if the camera had recorded no sound
        {"sound track of an entry no camera writes dropped",
         box("moov", boxes({mvhd, vide, trak("soun", true, "twns")})), 0, 1, box("moov", boxes({mvhd, vide})), 1},
        {"it is dropped with the metadata track kept",
         box("moov", boxes({mvhd, vide, trak("soun", true, "twoS"), meta})), 1, 1,
         box("moov", boxes({mvhd, vide, meta})), 1},
        {"the camera's sound kept", box("moov", boxes({mvhd, vide, trak("soun", true, "twos")})), 0, 1,
         box("moov", boxes({mvhd, vide, trak("soun", true, "twos")})), 0},
        {"not a moov box", moof, 0, 0, {}, 0},
        {"too short for a header", Bytes{0, 0, 0}, 0, 0, {}, 0},
    };
    for (const Case& c : cases) {
        Bytes src = c.moov;
        mp4::MovieInfo movie{};
        movie.moov_bytes = src.data(), movie.moov_size = src.size();
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

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "rebuild/clip_writer.h"
#include "validator/validator_api.h"

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
Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes trak(const char* handler, const Bytes& extra)
{
    Bytes hdlr(24, 0);
    std::memcpy(hdlr.data() + 8, handler, 4);
    return box("trak", box("mdia", cat({box("hdlr", hdlr), extra})));
}
uint64_t fnv(const Bytes& b)
{
    uint64_t h = 1469598103934665603ull;
    for (uint8_t c : b)
        h = (h ^ c) * 1099511628211ull;
    return h;
}
Bytes read_file(const std::string& path)
{
    Bytes b;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return b;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        b.push_back(uint8_t(c));
    std::fclose(f);
    return b;
}
void write_file(const std::string& path, const Bytes& b)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

// The camera's file: ftyp, mdat header, video 0 (2 x 600), audio 0 (700), video 1 (2 x 500),
// audio 1 (300); the movie box followed at 3232. On the card the file's first three clusters
// lie at H, the rest at `second_part` (so audio 0 is found through the cluster layout and
// audio 1 sits right behind video 1).
constexpr uint64_t H = 8192, cs = 512, media_end = 3232, second_part = 19968, image_size = 32768;
uint32_t sample_sizes[4] = {600, 600, 500, 500};
uint64_t first_sample[2] = {0, 2};
uint32_t sample_counts[2] = {2, 2};
uint64_t video_sizes[2] = {1200, 1000}, video_offsets[2] = {32, 1932};
uint64_t audio_sizes[2] = {700, 300}, audio_offsets[2] = {1232, 2932};

struct Card {
    Bytes camera_file;  // the media part of the file as the camera wrote it
    Bytes image;
    Bytes moov;
    Bytes moov_without_meta;
};

Card make_card()
{
    Card c;
    std::mt19937 rng(7);
    c.image.resize(image_size);
    for (auto& b : c.image)
        b = uint8_t(rng());
    Bytes& f = c.camera_file;
    Bytes ftyp = {'X', 'A', 'V', 'C', 0, 0, 0, 0, 'X', 'A', 'V', 'C', 'm', 'p', '4', '2'};
    f = box("ftyp", ftyp);
    put32(f, uint32_t(media_end - 24));
    f.insert(f.end(), {'m', 'd', 'a', 't'});
    f.resize(media_end);
    for (size_t i = 32; i < media_end; i++)
        f[i] = uint8_t(rng());
    uint64_t at = 32;
    for (uint32_t s : sample_sizes) {  // one coded slice per sample
        f[at] = uint8_t((s - 4) >> 24), f[at + 1] = uint8_t((s - 4) >> 16), f[at + 2] = uint8_t((s - 4) >> 8);
        f[at + 3] = uint8_t(s - 4), f[at + 4] = 0x25;  // a coded slice read as AVC or HEVC
        at += s;
        if (at == 1232)
            at = 1932;
    }
    std::copy(f.begin(), f.begin() + 1536, c.image.begin() + H);
    std::copy(f.begin() + 1536, f.end(), c.image.begin() + second_part);
    Bytes avcc_body = {1, 0x64, 0, 0x28, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x28, 1, 0, 2, 0x68, 0xEE};
    Bytes mvhd = box("mvhd", Bytes(100, 0));
    Bytes vide = trak("vide", box("avcC", avcc_body)), soun = trak("soun", {}), meta = trak("meta", {});
    c.moov = box("moov", cat({mvhd, vide, soun, meta}));
    c.moov_without_meta = box("moov", cat({mvhd, vide, soun}));
    return c;
}

// A validator that accepts everything.
int open_token;
void* accept_open(const validator::ValidatorOpenParams*) { return &open_token; }
bool reject_third_sample;
int accept_push(void*, const uint8_t*, uint64_t, uint64_t index) { return reject_third_sample && index == 2; }
int report_third(void*, validator::ValidatorResult* r)
{
    r->failing_sample = 2;
    return 0;
}
int accept_finish(void*, validator::ValidatorResult* r)
{
    r->samples_received = 4, r->frames_decoded = 4, r->corrupt_frames = 0;
    return 0;
}
void accept_close(void*) {}

struct Case {
    const char* name;
    const char* format;
    bool bad_mdat;
    bool chunk1_found;
    int keep_meta;
    int validate;
    size_t file_count;
    bool missing_folder;
    bool stale_final;
    bool reject;
    int result;
    std::string out;  // whole standard output
    std::string err;
};

TEST(WriteClip, RebuildsTheCameraFile)
{
    Card card = make_card();
    std::string dir = ::testing::TempDir() + "rebuild_writer";
    platform::make_folder(dir.c_str());
    std::string image_path = dir + "/card.img";
    write_file(image_path, card.image);
    uint64_t image_hash = fnv(card.image);
    std::string final_path = dir + "/out/XAVC_0007_unknown_time.MP4";
    const std::string timing =
        "clip 7: fps=25.000000000 (25/1), video=0.160000s, audio=0.160000s A-V=+0.000000000s\n";
    const std::string w = "Writing file 2 of 3 | clip 7 | ";
    const std::string full_progress_tail = w + "video chunk 1/2 | 42%\n" + w + "video chunk 2/2 | 85%\n";
    const std::string audio_tail = w + "audio chunk 1/2 | 94%\n" + w + "audio chunk 2/2 | 98%\n" + w +
                                   "finalizing MP4 | 99%\n" + w + "complete | 100%\n";
    const std::string done = "  -> " + final_path + "\n";

    const Case cases[] = {
        {"every chunk back in place, metadata track dropped", "avc1", false, true, 0, 0, 3, false, false, false, 1,
         timing + w + "preparing | 0%\n" + full_progress_tail + w + "video complete | 90%\n" + audio_tail +
             "  video 2/2; audio 2/2; cadence 0; final-adjacent 1; silent 0; RTMD removed 1\n" + done,
         ""},
        {"metadata track kept, old file replaced, no progress lines", "avc1", false, true, 1, 0, 0, false, true, false, 1,
         timing + "  video 2/2; audio 2/2; cadence 0; final-adjacent 1; silent 0; RTMD removed 0\n" + done, ""},
        {"missing video chunk leaves zeros", "avc1", false, false, 0, 0, 0, false, false, false, 1,
         timing + "  video 1/2; audio 0/2; cadence 0; final-adjacent 0; silent 2; RTMD removed 1\n" + done, ""},
        {"validated clip", "avc3", false, true, 0, 1, 3, false, false, false, 1,
         timing + w + "preparing | 0%\n" + full_progress_tail + w + "AVC validation passed | 90%\n" +
             "  AVC validation PASS: 4 samples, 4 decoded frames\n" + audio_tail +
             "  video 2/2; audio 2/2; cadence 0; final-adjacent 1; silent 0; RTMD removed 1\n" + done,
         ""},
        {"validation with a missing chunk", "avc1", false, false, 0, 1, 3, false, false, false, 0,
         timing + w + "preparing | 0%\n" + w + "video chunk 1/2 | 42%\n",
         "clip 7: video incomplete; validation cannot pass\n"},
        {"HEVC refused by validation after preparing", "hvc1", false, true, 0, 1, 3, false, false, false, 0,
         timing + w + "preparing | 0%\n", "clip 7: validator supports the validated AVC profile only\n"},
        {"HEVC written without validation", "hvc1", false, true, 0, 0, 0, false, false, false, 1,
         timing + "  video 2/2; audio 2/2; cadence 0; final-adjacent 1; silent 0; RTMD removed 1\n" + done, ""},
        {"rejected sample named from 1", "avc1", false, true, 0, 1, 3, false, false, true, 0,
         timing + w + "preparing | 0%\n" + w + "video chunk 1/2 | 42%\n",
         "clip 7: AVC decode validation failed at sample 3\n"},
        {"mdat header not found", "avc1", true, true, 0, 0, 3, false, false, false, 0, timing,
         "clip 7: invalid mdat header\n"},
        {"output folder missing", "avc1", false, true, 0, 0, 3, true, false, false, 0, timing + w + "preparing | 0%\n",
         "clip 7: cannot create " + dir + "/gone/XAVC_0007_unknown_time.MP4.partial: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        std::string out_dir = dir + (c.missing_folder ? "/gone" : "/out");
        if (!c.missing_folder)
            platform::make_folder(out_dir.c_str());
        platform::remove_file(final_path.c_str());
        if (c.stale_final)
            write_file(final_path, Bytes(10, 0xEE));

        mp4::MovieInfo movie{};
        movie.moov_bytes = card.moov.data();
        movie.moov_size = card.moov.size();
        mp4::TrackTables& v = movie.video;
        std::memcpy(v.format, c.format, 5);
        v.timescale = 25, v.duration = 4, v.sample_count = 4, v.sample_sizes = sample_sizes;
        v.chunk_first_sample = first_sample, v.chunk_sample_counts = sample_counts, v.chunk_sizes = video_sizes;
        v.chunk_offsets = video_offsets, v.chunk_count = 2;
        movie.has_audio = 1;
        movie.audio.timescale = 48000, movie.audio.duration = 7680;
        movie.audio.chunk_sizes = audio_sizes, movie.audio.chunk_offsets = audio_offsets, movie.audio.chunk_count = 2;
        analysis::ChunkPlacement placements[2] = {};
        placements[0].resolved = 1, placements[0].data_offset = H + 32;
        placements[1].resolved = c.chunk1_found, placements[1].data_offset = second_part + (1932 - 1536);
        analysis::ClipHeader header{};
        header.header_offset = H, header.mdat_offset = c.bad_mdat ? H + 20 : H + 24, header.mdat_end = H + media_end;
        analysis::RecordingRun run{};
        analysis::RecoveryClip clip{};
        clip.clip_number = 7, clip.header = &header, clip.run = &run, clip.movie = &movie;
        clip.chunks = placements, clip.chunk_count = 2;
        image::ImageGeometry geometry{};
        geometry.cluster_bytes = cs;
        validator::validator_api =
            validator::ValidatorApi{nullptr, nullptr, accept_open, accept_push, accept_finish, report_third, accept_close, 1};
        reject_third_sample = c.reject;

        std::FILE* img = platform::open_read_only(image_path.c_str());
        ASSERT_NE(img, nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int ok = rebuild::write_clip(img, image_size, &geometry, &clip, out_dir.c_str(), c.keep_meta, c.validate, 2,
                                     c.file_count);
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();
        std::fclose(img);

        EXPECT_EQ(ok, c.result) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(err, c.err) << c.name;
        EXPECT_EQ(fnv(read_file(image_path)), image_hash) << c.name << ": source image changed";
        EXPECT_FALSE(platform::path_exists((final_path + ".partial").c_str())) << c.name;
        if (!ok) {
            EXPECT_FALSE(platform::path_exists(final_path.c_str())) << c.name;
            continue;
        }
        Bytes expected = card.camera_file;
        if (!c.chunk1_found)
            std::fill(expected.begin() + 1232, expected.end(), 0);
        const Bytes& moov = c.keep_meta ? card.moov : card.moov_without_meta;
        expected.insert(expected.end(), moov.begin(), moov.end());
        EXPECT_TRUE(read_file(final_path) == expected) << c.name << ": output bytes";
    }
    platform::remove_file(final_path.c_str());
    platform::remove_file(image_path.c_str());
}

}  // namespace

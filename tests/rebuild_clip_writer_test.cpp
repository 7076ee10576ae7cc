#include <gtest/gtest.h>

#include <random>
#include <string>

#include "analysis_fixture.h"
#include "mp4/movie_box.h"
#include "platform/platform.h"
#include "rebuild/clip_writer.h"
#include "validator/loader.h"

namespace {

using namespace fixture;

Bytes trak(const char* handler, const Bytes& extra)
{
    Bytes hdlr(24, 0);
    std::memcpy(hdlr.data() + 8, handler, 4);
    // two one-sample chunks: the writer checks that the tables read, not what they say
    Bytes stsd = full(0, {1});
    mkcard::put_bytes(stsd, box(std::memcmp(handler, "soun", 4) == 0 ? "twos" : "avc1", extra));
    Bytes stbl = boxes({box("stsd", stsd), box("stts", full(0, {0})), box("stsc", full(0, {1, 1, 1, 1})),
                        box("stsz", full(0, {1, 2})), box("stco", full(0, {2, 0, 0}))});
    return box("trak", box("mdia", boxes({box("hdlr", hdlr), box("minf", box("stbl", stbl))})));
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
    Bytes camera_file, image, moov, moov_without_meta;
};

// The camera's ftyp box and the header of an mdat box that ends at `media_end` in the file.
Bytes file_head(uint64_t media_end)
{
    Bytes f = box("ftyp", {'X', 'A', 'V', 'C', 0, 0, 0, 0, 'X', 'A', 'V', 'C', 'm', 'p', '4', '2'});
    mkcard::put_be32(f, uint32_t(media_end - 24));
    mkcard::put_text(f, "mdat");
    return f;
}

// The samples are one coded slice each: an AVC IDR slice, or an HEVC trailing picture.
Card make_card(bool hevc)
{
    Card c;
    std::mt19937 rng(7);
    c.image.resize(image_size);
    for (auto& b : c.image)
        b = uint8_t(rng());
    Bytes& f = c.camera_file;
    f = file_head(media_end);
    f.resize(media_end);
    for (size_t i = 32; i < media_end; i++)
        f[i] = uint8_t(rng());
    uint64_t at = 32;
    for (uint32_t s : sample_sizes) {
        mkcard::set_be32(f.data() + at, s - 4);
        f[at + 4] = hevc ? 0x02 : 0x25;
        if (hevc)
            f[at + 5] = 0x01;
        at += s;
        if (at == 1232)
            at = 1932;
    }
    std::copy(f.begin(), f.begin() + 1536, c.image.begin() + H);
    std::copy(f.begin() + 1536, f.end(), c.image.begin() + second_part);
    Bytes mvhd = box("mvhd", Bytes(100, 0));
    Bytes vide = trak("vide", box("avcC", {1, 0x64, 0, 0x28, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x28, 1, 0, 2, 0x68, 0xEE}));
    c.moov = box("moov", boxes({mvhd, vide, trak("soun", {}), trak("meta", {})}));
    c.moov_without_meta = box("moov", boxes({mvhd, vide, trak("soun", {})}));
    return c;
}

// A validator that accepts everything, or rejects the third sample when asked to.
int open_token;
bool reject_third_sample;
void* accept_open(const validator::ValidatorOpenParams*) { return &open_token; }
int accept_push(void*, const uint8_t*, uint64_t, uint64_t index) { return reject_third_sample && index == 2; }
int report_third(void*, validator::ValidatorResult* r) { return r->failing_sample = 2, 0; }
int accept_finish(void*, validator::ValidatorResult* r)
{
    r->samples_received = 4, r->frames_decoded = 4, r->corrupt_frames = 0;
    return 0;
}
void accept_close(void*) {}

struct Case {
    const char *name, *format;
    bool bad_mdat, chunk1_found;
    int keep_meta, validate;
    size_t file_count;
    bool missing_folder, stale_final, reject;
    int result;
    std::string out, err;  // whole standard output and error
};

TEST(WriteClip, RebuildsTheCameraFile)
{
    Card avc_card = make_card(false), hevc_card = make_card(true);
    TempImage avc_image(avc_card.image), hevc_image(hevc_card.image);
    TempDir folder;
    std::string dir = folder.path.string();
    std::string final_path = dir + "/out/XAVC_0007_unknown_time.MP4";
    const std::string timing =
        "clip 7: fps=25.000000000 (25/1), video=0.160000s, audio=0.160000s A-V=+0.000000000s\n";
    const std::string w = "Writing file 2 of 3 | clip 7 | ", prepared = timing + w + "preparing | 0%\n";
    const std::string video_1 = w + "video chunk 1/2 | 42%\n", video_2 = w + "video chunk 2/2 | 85%\n";
    const std::string audio_tail = w + "audio chunk 1/2 | 94%\n" + w + "audio chunk 2/2 | 98%\n" + w +
                                   "finalizing MP4 | 99%\n" + w + "complete | 100%\n";
    const std::string done = "  -> " + final_path + "\n";
    const std::string all_found = "  video 2/2; audio 2/2; cadence 0; final-adjacent 1; silent 0; RTMD removed 1\n";

    const Case cases[] = {
        {"every chunk back in place, metadata track dropped", "avc1", false, true, 0, 0, 3, false, false, false, 1,
         prepared + video_1 + video_2 + w + "video complete | 90%\n" + audio_tail + all_found + done, ""},
        {"metadata track kept, old file replaced, no progress lines", "avc1", false, true, 1, 0, 0, false, true, false, 1,
         timing + "  video 2/2; audio 2/2; cadence 0; final-adjacent 1; silent 0; RTMD removed 0\n" + done, ""},
        {"missing video chunk leaves zeros", "avc1", false, false, 0, 0, 0, false, false, false, 1,
         timing + "  video 1/2; audio 0/2; cadence 0; final-adjacent 0; silent 2; RTMD removed 1\n" + done, ""},
        {"validated clip", "avc3", false, true, 0, 1, 3, false, false, false, 1,
         prepared + video_1 + video_2 + w + "AVC validation passed | 90%\n" +
             "  AVC validation PASS: 4 samples, 4 decoded frames\n" + audio_tail + all_found + done, ""},
        {"validation with a missing chunk", "avc1", false, false, 0, 1, 3, false, false, false, 0, prepared + video_1,
         "clip 7: video incomplete; validation cannot pass\n"},
        {"HEVC without its hvcC record refused after preparing", "hvc1", false, true, 0, 1, 3, false, false, false, 0,
         prepared, "clip 7: valid hvcC configuration not found\n"},
        {"HEVC written without validation", "hvc1", false, true, 0, 0, 0, false, false, false, 1,
         timing + all_found + done, ""},
        {"rejected sample named from 1", "avc1", false, true, 0, 1, 3, false, false, true, 0, prepared + video_1,
         "clip 7: AVC decode validation failed at sample 3\n"},
        {"mdat header not found", "avc1", true, true, 0, 0, 3, false, false, false, 0, timing,
         "clip 7: invalid mdat header\n"},
        {"output folder missing", "avc1", false, true, 0, 0, 3, true, false, false, 0, prepared,
         "clip 7: cannot create " + dir + "/gone/XAVC_0007_unknown_time.MP4.partial: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        bool hevc = std::string(c.format) == "hvc1";
        Card& card = hevc ? hevc_card : avc_card;
        const TempImage& image = hevc ? hevc_image : avc_image;
        std::string out_dir = dir + (c.missing_folder ? "/gone" : "/out");
        if (!c.missing_folder)
            platform::make_folder(out_dir.c_str());
        platform::remove_file(final_path.c_str());
        if (c.stale_final)
            write_file(final_path, std::string(10, '\xEE'));

        mp4::MovieInfo movie{};
        movie.moov_bytes = card.moov.data(), movie.moov_size = card.moov.size();
        mp4::TrackTables& v = movie.video;
        std::memcpy(v.format, c.format, 5);
        v.timescale = 25, v.duration = 4, v.sample_count = 4, v.sample_sizes = sample_sizes;
        v.chunk_first_sample = first_sample, v.chunk_sample_counts = sample_counts, v.chunk_sizes = video_sizes;
        v.chunk_offsets = video_offsets, v.chunk_count = 2;
        movie.has_audio = 1, movie.audio.timescale = 48000, movie.audio.duration = 7680;
        std::memcpy(movie.audio.format, "twos", 5);
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

        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int ok = rebuild::write_clip(image.f, image_size, &geometry, &clip, out_dir.c_str(), c.keep_meta, c.validate, 2,
                                     c.file_count);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.name;
        EXPECT_EQ(ok, c.result) << c.name;
        EXPECT_FALSE(platform::path_exists((final_path + ".partial").c_str())) << c.name;
        if (!ok) {
            EXPECT_FALSE(platform::path_exists(final_path.c_str())) << c.name;
            continue;
        }
        Bytes expected = card.camera_file;
        if (!c.chunk1_found)
            std::fill(expected.begin() + 1232, expected.end(), 0);
        mkcard::put_bytes(expected, c.keep_meta ? card.moov : card.moov_without_meta);
        EXPECT_TRUE(read_file(final_path) == std::string(expected.begin(), expected.end()))
            << c.name << ": output bytes";
    }
}

// An hour of the camera's sound is 172.8 million four-byte samples, more than a table stored per
// sample may hold; the track still parses and every sound chunk comes back byte for byte.
TEST(WriteClip, AnHourOfSoundComesBackWhole)
{
    constexpr uint32_t chunks = 7500, frames = chunks * 12, pcm_per_chunk = 23040;  // 0.48 s of 48 kHz sound
    constexpr uint64_t at = 1 << 20, video_bytes = 12 * 20, audio_bytes = pcm_per_chunk * 4;
    const uint64_t mdat_end = 32 + chunks * (video_bytes + audio_bytes);
    Bytes image(at, 0);
    image.reserve(at + mdat_end + (4 << 20));  // the movie box and the tail fit without a second copy
    mkcard::put_bytes(image, file_head(mdat_end));
    image.resize(at + mdat_end);
    mkcard::TrackDesc video, sound;
    std::vector<analysis::ChunkPlacement> placements(chunks);
    video.sizes.assign(frames, 20);
    for (uint64_t j = 0, file = 32; j < chunks; j++) {
        video.chunk_offsets.push_back(file);
        placements[j].resolved = 1, placements[j].data_offset = at + file;
        for (uint32_t i = 0; i < 12; i++, file += 20) {
            Bytes sample = avc_sample(20, i == 0);
            std::copy(sample.begin(), sample.end(), image.begin() + at + file);
        }
        sound.chunk_offsets.push_back(file);
        for (uint64_t end = file + audio_bytes; file < end; file++)
            image[at + file] = uint8_t((file * 2654435761u) >> 13);
    }
    video.kind = mkcard::TrackKind::video, video.track_id = 1, video.timescale = 25000, video.sample_delta = 1000;
    video.duration = uint64_t(frames) * 1000, video.movie_duration = 3600000, video.sample_count = frames;
    video.samples_per_chunk = 12, video.sample_entry = mkcard::visual_sample_entry(false, 256, 144, {});
    sound.kind = mkcard::TrackKind::sound, sound.track_id = 2, sound.timescale = 48000, sound.sample_delta = 1;
    sound.duration = uint64_t(chunks) * pcm_per_chunk, sound.movie_duration = 3600000, sound.constant_size = 4;
    sound.sample_count = chunks * pcm_per_chunk, sound.samples_per_chunk = pcm_per_chunk;
    sound.sample_entry = mkcard::sound_sample_entry();
    mkcard::put_bytes(image, mkcard::build_moov(3900000000u, 1000, 3600000, 3,
                                                {mkcard::build_trak(video), mkcard::build_trak(sound)}, false));
    const uint64_t file_size = image.size() - at;
    image.resize(image.size() + 65536, 0);
    TempImage card(image);

    mp4::MovieInfo movie{};
    ASSERT_EQ(mp4::parse_movie(card.f, card.size, at + mdat_end + 4, &movie), 1);
    ASSERT_EQ(movie.has_audio, 1u);
    EXPECT_EQ(movie.audio.sample_count, 172800000u);
    analysis::ClipHeader header{};
    header.header_offset = at, header.mdat_offset = at + 24, header.mdat_end = at + mdat_end;
    analysis::RecordingRun run{};
    analysis::RecoveryClip clip{};
    clip.clip_number = 1, clip.header = &header, clip.run = &run, clip.movie = &movie;
    clip.chunks = placements.data(), clip.chunk_count = chunks;
    image::ImageGeometry geometry{};
    geometry.cluster_bytes = 32768;
    TempDir folder;
    testing::internal::CaptureStdout();
    EXPECT_EQ(rebuild::write_clip(card.f, card.size, &geometry, &clip, folder.path.c_str(), 0, 0, 1, 0), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("video=3600.000000s, audio=3600.000000s"), std::string::npos) << out;
    EXPECT_NE(out.find("  video 7500/7500; audio 7500/7500; cadence 0; final-adjacent 1; silent 0;"), std::string::npos)
        << out;
    EXPECT_EQ(file_hash(folder.path / "XAVC_0001_unknown_time.MP4"), fnv1a(image.data() + at, file_size)) << "output bytes";
    mp4::free_movie_info(&movie);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis_fixture.h"
#include "tools/mkcard_media.h"
#include "rebuild/validation_pass.h"
#include "validator/loader.h"

namespace {

using mkcard::Bytes;

// Offset and length of the first slice NAL unit inside a sample (H.264 types 1 and 5, HEVC 0 to 31).
bool find_slice(const Bytes& sample, bool hevc, size_t* at, size_t* len)
{
    size_t p = 0;
    while (p + 4 < sample.size()) {
        size_t n = mkcard::get_be32(&sample[p]);
        int type = hevc ? (sample[p + 4] >> 1) & 0x3f : sample[p + 4] & 0x1f;
        if (hevc ? type < 32 : type == 1 || type == 5) {
            *at = p + 4;
            *len = n;
            return true;
        }
        p += 4 + n;
    }
    return false;
}

// Encodes 40 frames of test picture with B-frames (H.264) or without (HEVC, as the generator's
// cards); length-prefixed access units and their configuration record.
void encode(const fixture::TempDir& dir, bool hevc, mkcard::VideoStream* stream)
{
    std::string out = (dir.path / (hevc ? "stream.hevc" : "stream.h264")).string();
    std::string codec = hevc ? "-c:v libx265 -x265-params aud=1:keyint=12:bframes=0:log-level=error -f hevc"
                             : "-c:v libx264 -preset veryfast -g 12 -bf 2 -x264-params aud=1 -f h264";
    std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=192x108:rate=25 -frames:v 40 "
                      "-pix_fmt yuv420p " + codec + " '" + out + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Bytes es;
    ASSERT_TRUE(mkcard::read_file(out, &es) && mkcard::split_annex_b(es, hevc, stream));
    ASSERT_EQ(stream->samples.size(), 40u);
}

class ValidatorLibrary : public ::testing::Test {
protected:
    static mkcard::VideoStream avc, hevc;  // length-prefixed access units and their avcC / hvcC record
    static void SetUpTestSuite()
    {
        fixture::TempDir dir;  // each test program encodes into its own folder: ctest runs them side by side
        encode(dir, false, &avc);
        encode(dir, true, &hevc);
        char message[512] = {};
        std::string lib = std::string(MENDORA_BUILD_DIR) + "/VeltoXAVCValidate.so";
        ASSERT_EQ(validator::load_validator_from(lib.c_str(), message, sizeof message), 1) << message;
    }
    static void TearDownTestSuite() { validator::unload_validator(); }

    static void* open(const char* format, const Bytes* config)
    {
        validator::ValidatorOpenParams p{};
        p.version = validator::validator_abi;
        std::copy(format, format + 4, p.format);
        p.one = 1;
        p.config_address = config ? reinterpret_cast<uint64_t>(config->data()) : 0;
        p.config_length = config ? uint32_t(config->size()) : 0;
        return validator::validator_api.open(&p);
    }
};
mkcard::VideoStream ValidatorLibrary::avc, ValidatorLibrary::hevc;

TEST_F(ValidatorLibrary, OpensAvcAndHevcWithTheirOwnConfiguration)
{
    struct Case {
        const char *name, *format;
        const Bytes* config;
        bool opens;
    } cases[] = {
        {"avc1", "avc1", &avc.config, true},
        {"avc3", "avc3", &avc.config, true},
        {"hvc1", "hvc1", &hevc.config, true},
        {"hev1", "hev1", &hevc.config, true},
        {"an hvcC record under avc1", "avc1", &hevc.config, false},
        {"other video", "mp4v", &avc.config, false},
        {"no configuration", "avc1", nullptr, false},
    };
    for (const Case& c : cases) {
        void* h = open(c.format, c.config);
        EXPECT_EQ(h != nullptr, c.opens) << c.name;
        if (h)
            validator::validator_api.close(h);
    }
    EXPECT_EQ(validator::validator_api.get_abi(), validator::validator_abi);
}

enum Damage { none, flip_slice_tail, truncate_slice, garble_slice_header, zero_slice_header, overlong_nal };

// Flipping the tail of a slice leaves a short slice: a predicted frame's missing macroblocks are
// concealed, a key frame's fail the decode. Cutting it short or garbling its header fails it too,
// and so does a NAL unit whose length runs beyond its sample.
void damage_sample(Bytes& s, bool hevc, Damage damage)
{
    size_t at = 0, len = 0;
    ASSERT_TRUE(find_slice(s, hevc, &at, &len));
    if (damage == flip_slice_tail) {
        for (size_t i = at + len / 3; i < at + len; i++)
            s[i] ^= 0xA5;
    } else if (damage == garble_slice_header) {
        s[at + 1] = s[at + 2] = 0xff;
    } else if (damage == zero_slice_header) {
        s[at + 2] = s[at + 3] = 0;
    } else if (damage == overlong_nal) {
        s[at - 3] ^= 0x40;
    } else if (damage == truncate_slice) {
        size_t keep = len / 2;
        s.erase(s.begin() + at + keep, s.begin() + at + len);
        for (int i = 0; i < 4; i++)
            s[at - 4 + i] = uint8_t(keep >> (24 - 8 * i));
    }
}

// The lines the clip writer's decode check prints for a video track of these samples, in chunks of
// 12 as the camera writes them, the last `missing` chunks not found on the card.
std::string check_lines(const char* format, const Bytes& config, const std::vector<Bytes>& samples, size_t missing)
{
    constexpr uint32_t per_chunk = 12;
    std::vector<uint32_t> sizes, counts;
    std::vector<uint64_t> first, chunk_sizes;
    std::vector<Bytes> chunks;
    for (size_t i = 0; i < samples.size(); i++) {
        if (i % per_chunk == 0) {
            first.push_back(i), counts.push_back(0), chunk_sizes.push_back(0), chunks.emplace_back();
        }
        sizes.push_back(uint32_t(samples[i].size()));
        counts.back()++, chunk_sizes.back() += samples[i].size();
        mkcard::put_bytes(chunks.back(), samples[i]);
    }
    mp4::MovieInfo movie{};
    std::memcpy(movie.video.format, format, 4);
    mp4::TrackTables& t = movie.video;
    t.sample_sizes = sizes.data(), t.sample_count = sizes.size(), t.chunk_first_sample = first.data();
    t.chunk_sample_counts = counts.data(), t.chunk_sizes = chunk_sizes.data(), t.chunk_count = chunks.size();
    Bytes moov = fixture::box("moov", fixture::box(mp4::format_is_hevc(format) ? "hvcC" : "avcC", config));
    movie.moov_bytes = moov.data(), movie.moov_size = moov.size();

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    rebuild::ValidationPass pass{};
    int ok = rebuild::validation_prepare(&pass, &movie, 7);
    uint64_t written = 0;
    for (size_t k = 0; ok && k + missing < chunks.size(); k++) {
        int complete = 0;
        ok = rebuild::validation_push_chunk(&pass, &t, k, chunks[k].data(), 7, &complete);
        written += ok && complete;
    }
    if (ok)
        rebuild::validation_finish(&pass, written, t.chunk_count, 0, {1, 1, 7});
    std::string out = testing::internal::GetCapturedStdout();
    return out + testing::internal::GetCapturedStderr();
}

// A clean stream passes whole; a damaged slice is caught. Frame threads hand a sample's result
// back pushes later, the last ones only when the decoder is drained at the end; the lines the
// decode check prints must not depend on the thread count.
TEST_F(ValidatorLibrary, CleanStreamPassesAndEveryThreadCountNamesTheDamagedSample)
{
    const std::string pass = "  AVC validation PASS: 40 samples, 40 decoded frames\n";
    const std::string failed = "clip 7: AVC decode validation failed at sample ";
    struct Case {
        const char* name;
        bool hevc;
        Damage damage;
        std::vector<size_t> damaged;
        size_t missing;  // chunks at the end not found
        std::string lines;
    } cases[] = {
        {"clean stream", false, none, {}, 0, pass},
        {"bytes flipped in a key frame's slice", false, flip_slice_tail, {0}, 0, failed + "1\n"},
        {"first sample cut short", false, truncate_slice, {0}, 0, failed + "1\n"},
        {"a middle sample cut short", false, truncate_slice, {17}, 0, failed + "18\n"},
        {"the fourth last sample cut short", false, truncate_slice, {36}, 0, failed + "37\n"},
        {"the third last sample cut short", false, truncate_slice, {37}, 0, failed + "38\n"},
        {"the second last sample cut short", false, truncate_slice, {38}, 0, failed + "39\n"},
        {"last sample cut short", false, truncate_slice, {39}, 0, failed + "40\n"},
        {"several samples cut short", false, truncate_slice, {20, 30, 38, 39}, 0, failed + "21\n"},
        {"the last sample pushed cut short, the last chunk missing", false, truncate_slice, {35}, 1, failed + "36\n"},
        {"the last chunk missing", false, none, {}, 1, "clip 7: video incomplete; validation cannot pass\n"},
        // the threads after it fail on its reference marking before its own result is due
        {"a garbled slice header", false, garble_slice_header, {30}, 0, failed + "31\n"},
        {"a concealed frame is corrupt, no sample named", false, flip_slice_tail, {17}, 0,
         "clip 7: AVC validation FAIL; samples=40 frames=40 corrupt=1\n"},
        {"a NAL length beyond the last sample", false, overlong_nal, {39}, 0, failed + "40\n"},
        // The HEVC decoder reads damaged slice data without a word (it checks neither the end of a
        // slice nor whether every block of a picture was decoded); what it catches is damage to
        // the NAL units, the slice headers and the references.
        {"clean HEVC stream", true, none, {}, 0, pass},
        {"HEVC: a key frame's slice header zeroed", true, zero_slice_header, {0}, 0, failed + "1\n"},
        {"HEVC: a middle sample's slice header zeroed", true, zero_slice_header, {17}, 0, failed + "18\n"},
        {"HEVC: the last sample's slice header zeroed", true, zero_slice_header, {39}, 0, failed + "40\n"},
        {"HEVC: a slice's NAL header garbled, the sample holds no picture", true, garble_slice_header, {30}, 0,
         failed + "31\n"},
        {"HEVC: a NAL length beyond the second last sample", true, overlong_nal, {38}, 0, failed + "39\n"},
        {"HEVC: the last sample pushed damaged, the last chunk missing", true, zero_slice_header, {35}, 1,
         failed + "36\n"},
    };
    for (const Case& c : cases) {
        const mkcard::VideoStream& stream = c.hevc ? hevc : avc;
        std::vector<Bytes> samples = stream.samples;
        for (size_t k : c.damaged)
            damage_sample(samples[k], c.hevc, c.damage);
        for (const char* threads : {"1", "2", "16"}) {
            setenv("MENDORA_VALIDATOR_THREADS", threads, 1);
            EXPECT_EQ(check_lines(c.hevc ? "hvc1" : "avc1", stream.config, samples, c.missing), c.lines)
                << c.name << " with " << threads << " threads";
        }
    }
    unsetenv("MENDORA_VALIDATOR_THREADS");
}

// The average of each colour over a picture of packed RGB.
std::vector<double> channel_means(const uint8_t* rgb, size_t pixels)
{
    std::vector<double> sum(3, 0.0);
    for (size_t i = 0; i < pixels * 3; i++)
        sum[i % 3] += rgb[i];
    for (double& v : sum)
        v /= double(pixels);
    return sum;
}

// The first picture, scaled into 160 x 90, against FFmpeg's own conversion of the same frame: a
// slip in the colour matrix, the chroma planes or the rows shows in the averages of the colours.
TEST_F(ValidatorLibrary, ThumbnailIsTheFirstPictureInItsColours)
{
    validator::ThumbnailFn thumbnail = validator::thumbnail_export();
    ASSERT_NE(thumbnail, nullptr) << "the library has the thumbnail export";
    fixture::TempDir dir;
    struct Case {
        const char* name;
        bool hevc;
        size_t first, count;
        int result;
    } cases[] = {
        {"AVC key frame alone", false, 0, 1, 0},
        {"AVC first chunk", false, 0, 12, 0},
        {"HEVC first chunk", true, 0, 12, 0},
        {"no sample that is a picture", false, 0, 0, -1},
    };
    for (const Case& c : cases) {
        const mkcard::VideoStream& stream = c.hevc ? hevc : avc;
        Bytes bytes;
        std::vector<uint64_t> sizes;
        for (size_t k = c.first; k < c.first + c.count; k++) {
            bytes.insert(bytes.end(), stream.samples[k].begin(), stream.samples[k].end());
            sizes.push_back(stream.samples[k].size());
        }
        validator::ValidatorOpenParams p{};
        p.version = validator::validator_abi;
        std::copy(c.hevc ? "hvc1" : "avc1", (c.hevc ? "hvc1" : "avc1") + 4, p.format);
        p.one = 1;
        p.config_address = reinterpret_cast<uint64_t>(stream.config.data());
        p.config_length = uint32_t(stream.config.size());
        std::vector<uint8_t> rgb(160 * 90 * 3);
        validator::ValidatorThumbnail t{};
        t.version = validator::validator_abi;
        t.max_width = 160, t.max_height = 90;
        t.rgb = rgb.data();
        t.rgb_capacity = rgb.size();
        ASSERT_EQ(thumbnail(&p, bytes.data(), sizes.data(), sizes.size(), &t), c.result) << c.name;
        if (c.result != 0)
            continue;
        EXPECT_EQ(t.picture_width, 192u) << c.name;
        EXPECT_EQ(t.picture_height, 108u) << c.name;
        EXPECT_EQ(t.width, 160u) << c.name;
        EXPECT_EQ(t.height, 90u) << c.name;
        std::string raw = (dir.path / "first.rgb").string();
        std::string cmd = std::string("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=192x108:rate=25 ") +
                          "-frames:v 1 -vf scale=160:90:flags=neighbor -f rawvideo -pix_fmt rgb24 '" + raw + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        Bytes want;
        ASSERT_TRUE(mkcard::read_file(raw, &want));
        ASSERT_EQ(want.size(), rgb.size());
        std::vector<double> got = channel_means(rgb.data(), 160 * 90), expected = channel_means(want.data(), 160 * 90);
        for (int ch = 0; ch < 3; ch++)
            EXPECT_NEAR(got[ch], expected[ch], 8.0) << c.name << ", colour " << "RGB"[ch];
    }
    // what the caller must give: the version, a size to fit, room for it
    Bytes one = avc.samples[0];
    uint64_t size = one.size();
    validator::ValidatorOpenParams p{};
    p.version = validator::validator_abi;
    std::copy("avc1", "avc1" + 4, p.format);
    p.config_address = reinterpret_cast<uint64_t>(avc.config.data());
    p.config_length = uint32_t(avc.config.size());
    std::vector<uint8_t> rgb(160 * 90 * 3);
    struct Refusal {
        const char* name;
        uint32_t version, max_width, max_height;
        uint64_t capacity;
    } refusals[] = {
        {"another version", 0x20000, 160, 90, rgb.size()},
        {"nothing to fit into", validator::validator_abi, 0, 90, rgb.size()},
        {"a buffer one byte short", validator::validator_abi, 160, 90, rgb.size() - 1},
    };
    for (const Refusal& r : refusals) {
        validator::ValidatorThumbnail t{};
        t.version = r.version, t.max_width = r.max_width, t.max_height = r.max_height;
        t.rgb = rgb.data();
        t.rgb_capacity = r.capacity;
        EXPECT_EQ(thumbnail(&p, one.data(), &size, 1, &t), -1) << r.name;
    }
}

}  // namespace

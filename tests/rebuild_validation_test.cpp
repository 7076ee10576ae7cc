#include <gtest/gtest.h>

#include <tuple>

#include "analysis_fixture.h"
#include "rebuild/validation_pass.h"

namespace {

using namespace fixture;

// A stand-in for the validator library that records what the pass hands it.
struct Double {
    bool open_fails = false;
    int64_t reject_index = -1;  // push of this sample index is rejected
    uint64_t reported_failing = 0;
    int finish_rc = 0;
    uint32_t corrupt = 0;
    std::string format;
    Bytes config;
    std::vector<uint64_t> pushed;
    int finish_calls = 0, close_calls = 0;
} dbl;

int handle_token;

void* double_open(const validator::ValidatorOpenParams* p)
{
    dbl.format.assign(p->format, 4);
    const auto* cfg = reinterpret_cast<const uint8_t*>(p->config_address);
    dbl.config.assign(cfg, cfg + p->config_length);
    EXPECT_EQ(p->version, validator::validator_abi);
    EXPECT_EQ(p->one, 1u);
    return dbl.open_fails ? nullptr : &handle_token;
}
int double_push(void*, const uint8_t*, uint64_t, uint64_t index)
{
    dbl.pushed.push_back(index);
    return int64_t(index) == dbl.reject_index;
}
int double_result(void*, validator::ValidatorResult* r)
{
    r->samples_received = r->frames_decoded = dbl.pushed.size();
    r->failing_sample = dbl.reported_failing, r->corrupt_frames = dbl.corrupt;
    return 0;
}
int double_finish(void* h, validator::ValidatorResult* r)
{
    dbl.finish_calls++;
    double_result(h, r);
    return dbl.finish_rc;
}
void double_close(void*) { dbl.close_calls++; }

void install_double()
{
    dbl = Double{};
    validator::validator_api = validator::ValidatorApi{nullptr, nullptr, double_open, double_push, double_finish,
                                                       double_result, double_close, 1};
}

// An avcC box: version, profile, compat, level, NAL length byte, SPS count byte, then filler.
Bytes avcc(uint8_t version, uint8_t length_byte, uint8_t sps_byte, uint32_t declared = 0)
{
    Bytes b = box("avcC", {version, 0x64, 0x00, 0x28, length_byte, sps_byte, 0x00, 0x04, 0x67, 0x64, 0x00, 0x28});
    if (declared)
        mkcard::set_be32(b.data(), declared);
    return b;
}

// An hvcC box: version, 20 bytes of profile and picture format, the NAL length byte, then one
// array of one 3-byte unit (or of a unit declared `unit_length` long) per NAL unit type.
Bytes hvcc(uint8_t length_byte, std::initializer_list<uint8_t> types, uint16_t unit_length = 3)
{
    Bytes b(21, 0x11);
    b[0] = 1;
    b.push_back(length_byte);
    b.push_back(uint8_t(types.size()));
    for (uint8_t t : types) {
        b.push_back(0x80 | t);
        mkcard::put_be16(b, 1);
        mkcard::put_be16(b, unit_length);
        b.insert(b.end(), {uint8_t(t << 1), 1, 0xAA});
    }
    return box("hvcC", b);
}

// Some movie bytes, then the sample entry's boxes.
Bytes entry(std::initializer_list<Bytes> parts) { return boxes({Bytes(5, 0xAA), boxes(parts)}); }

TEST(ValidationPrepare, ChecksFormatAndHandsTheFirstAcceptableRecordOfItsCodecToTheLibrary)
{
    Bytes good = avcc(1, 0xFF, 0xE1), good_hevc = hvcc(0xFF, {32, 33, 34});
    const std::string none = "clip 4: valid avcC configuration not found\n";
    const std::string no_hvcc = "clip 4: valid hvcC configuration not found\n";
    const size_t hvcc_size = good_hevc.size();
    struct Case {
        const char *name, *format;
        Bytes moov;
        bool open_fails;
        long config_at;  // index of the avcC box handed over, -1 for none
        std::string err;
    } cases[] = {
        {"single good record", "avc1", entry({good}), false, 5, ""},
        {"avc3 like avc1", "avc3", entry({good}), false, 5, ""},
        {"2-byte NAL lengths skipped", "avc1", entry({avcc(1, 0xFD, 0xE1), good}), false, 5 + 20, ""},
        {"record without SPS skipped", "avc1", entry({avcc(1, 0xFF, 0xE0), good}), false, 5 + 20, ""},
        {"wrong version skipped", "avc1", entry({avcc(2, 0xFF, 0xE1), good}), false, 5 + 20, ""},
        {"size below 15 skipped", "avc1", entry({avcc(1, 0xFF, 0xE1, 14), good}), false, 5 + 20, ""},
        {"size beyond the movie box skipped", "avc1", entry({avcc(1, 0xFF, 0xE1, 4000)}), false, -1, none},
        {"no acceptable record", "avc1", entry({avcc(1, 0xFD, 0xE1)}), false, -1, none},
        {"too short to hold one", "avc1", Bytes{0, 0, 0, 12, 'a', 'v', 'c', 'C', 1, 2, 3}, false, -1, none},
        {"hvc1 takes its hvcC record", "hvc1", entry({good, good_hevc}), false, 5 + 20, ""},
        {"hev1 like hvc1", "hev1", entry({good_hevc}), false, 5, ""},
        {"hvcC with 2-byte NAL lengths skipped", "hvc1", entry({hvcc(0xFD, {32, 33, 34}), good_hevc}), false,
         5 + long(hvcc_size), ""},
        {"hvcC without an SPS skipped", "hvc1", entry({hvcc(0xFF, {32, 34}), good_hevc}), false,
         5 + long(hvcc_size) - 8, ""},
        {"hvcC whose SPS runs past its end skipped", "hvc1", entry({hvcc(0xFF, {33}, 40)}), false, -1, no_hvcc},
        {"an avcC record is no hvcC", "hvc1", entry({good}), false, -1, no_hvcc},
        {"other video refused", "mp4v", entry({good}), false, -1,
         "clip 4: validator supports the validated AVC profile only\n"},
        {"open fails", "avc1", entry({good}), true, -1, "clip 4: AVC validator initialization failed\n"},
    };
    for (Case& c : cases) {
        install_double();
        dbl.open_fails = c.open_fails;
        mp4::MovieInfo movie{};
        std::memcpy(movie.video.format, c.format, 5);
        movie.moov_bytes = c.moov.data(), movie.moov_size = c.moov.size();
        rebuild::ValidationPass pass{};
        testing::internal::CaptureStderr();
        int ok = rebuild::validation_prepare(&pass, &movie, 4);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.name;
        EXPECT_EQ(ok, c.config_at >= 0) << c.name;
        EXPECT_EQ(pass.result.failing_sample, validator::no_failing_sample) << c.name;
        EXPECT_EQ(pass.result.version, validator::validator_abi) << c.name;
        if (ok) {
            EXPECT_EQ(dbl.format, c.format) << c.name;
            auto record = c.moov.begin() + c.config_at;
            EXPECT_EQ(dbl.config, Bytes(record + 8, record + mkcard::get_be32(&*record))) << c.name;
            rebuild::validation_close(&pass);
            EXPECT_EQ(dbl.close_calls, 1) << c.name;
        }
    }
}

TEST(ValidationPush, NumbersTheFailingSampleFromOne)
{
    // Video track of two chunks: samples 0-2 (sizes 10, 20, 30) and 3-4 (sizes 5, 5).
    uint32_t sizes[5] = {10, 20, 30, 5, 5}, counts[2] = {3, 2};
    uint64_t first[2] = {0, 3};
    struct Case {
        const char* name;
        uint64_t chunk, chunk_size;
        int64_t reject;  // sample index the library rejects
        uint64_t reported;  // failing sample it then reports
        int ok, complete;
        std::vector<uint64_t> pushed;
        std::string err;
    } cases[] = {
        {"clean chunk", 0, 60, -1, 0, 1, 1, {0, 1, 2}, ""},
        {"samples short of the chunk", 0, 61, -1, 0, 1, 0, {0, 1, 2}, ""},
        {"sample beyond the chunk stops the pushes", 0, 50, -1, 0, 1, 0, {0, 1}, ""},
        {"index 0 names sample 1", 0, 60, 0, 0, 0, 0, {0}, "clip 9: AVC decode validation failed at sample 1\n"},
        {"second chunk's indices are track-wide", 1, 10, 4, 4, 0, 0, {3, 4},
         "clip 9: AVC decode validation failed at sample 5\n"},
        {"all ones: no number", 0, 60, 1, ~0ull, 0, 0, {0, 1}, "clip 9: AVC decode validation failed\n"},
        {"all ones minus one: no number", 0, 60, 1, ~0ull - 1, 0, 0, {0, 1}, "clip 9: AVC decode validation failed\n"},
    };
    for (const Case& c : cases) {
        install_double();
        dbl.reject_index = c.reject, dbl.reported_failing = c.reported;
        uint64_t chunk_sizes[2] = {60, 10};
        chunk_sizes[c.chunk] = c.chunk_size;
        mp4::TrackTables t{};
        t.sample_sizes = sizes, t.sample_count = 5, t.chunk_first_sample = first;
        t.chunk_sample_counts = counts, t.chunk_sizes = chunk_sizes, t.chunk_count = 2;
        Bytes chunk(c.chunk_size, 0x5A);
        rebuild::ValidationPass pass{};
        pass.handle = &handle_token;
        int complete = -1;
        testing::internal::CaptureStderr();
        int ok = rebuild::validation_push_chunk(&pass, &t, c.chunk, chunk.data(), 9, &complete);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.name;
        EXPECT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(dbl.pushed, c.pushed) << c.name;
        if (ok) {
            EXPECT_EQ(complete, c.complete) << c.name;
        }
        EXPECT_EQ(dbl.close_calls, ok ? 0 : 1) << c.name;
    }
}

TEST(ValidationFinish, PassesOnlyACompleteCleanTrack)
{
    const std::string passed = "  AVC validation PASS: 0 samples, 0 decoded frames\n";
    const std::string progress = "Writing file 1 of 2 | clip 3 | AVC validation passed | 90%\n" + passed;
    const uint64_t none = ~0ull;
    struct Case {
        const char* name;
        uint64_t written, count;
        int finish_rc;
        uint32_t corrupt;
        uint64_t failing;  // the sample the drain names
        size_t file_count;
        int ok;
        std::string out, err;
    } cases[] = {
        {"clean", 2, 2, 0, 0, none, 2, 1, progress, ""},
        {"clean without progress lines", 2, 2, 0, 0, none, 0, 1, passed, ""},
        {"no video chunks at all", 0, 0, 0, 0, none, 2, 1, progress, ""},
        {"one chunk missing though every pushed sample decoded", 41, 42, 1, 0, none, 2, 0, "",
         "clip 3: video incomplete; validation cannot pass\n"},
        {"one corrupt frame fails", 2, 2, 0, 1, none, 2, 0, "",
         "clip 3: AVC validation FAIL; samples=0 frames=0 corrupt=1\n"},
        {"finish error fails", 2, 2, 1, 0, none, 2, 0, "",
         "clip 3: AVC validation FAIL; samples=0 frames=0 corrupt=0\n"},
        {"all ones minus one names no sample", 2, 2, 1, 0, none - 1, 2, 0, "",
         "clip 3: AVC validation FAIL; samples=0 frames=0 corrupt=0\n"},
        // the last samples' results come back in the drain when the decoder runs on several threads
        {"a damaged sample named by the drain", 2, 2, 1, 0, 23, 2, 0, "",
         "clip 3: AVC decode validation failed at sample 24\n"},
        {"a damaged sample named by the drain before a missing chunk", 41, 42, 1, 0, 491, 2, 0, "",
         "clip 3: AVC decode validation failed at sample 492\n"},
    };
    for (const Case& c : cases) {
        install_double();
        dbl.finish_rc = c.finish_rc, dbl.corrupt = c.corrupt, dbl.reported_failing = c.failing;
        rebuild::ValidationPass pass{};
        pass.handle = &handle_token;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int ok = rebuild::validation_finish(&pass, c.written, c.count, c.file_count != 0, {1, c.file_count, 3});
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.name;
        EXPECT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(std::make_tuple(dbl.finish_calls, dbl.close_calls), std::make_tuple(1, 1)) << c.name;
    }
}

}  // namespace

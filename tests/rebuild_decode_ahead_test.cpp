#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "analysis_fixture.h"
#include "mp4/movie_box.h"
#include "platform/platform.h"
#include "rebuild/decode_ahead.h"
#include "tools/mkcard_config.h"
#include "validator/loader.h"

namespace {

using namespace fixture;

// A decoder that refuses a sample whose first unit is of type 1 (0x21), naming it.
struct Decoder {
    uint64_t failing = UINT64_MAX, pushed = 0;
};
void* decoder_open(const validator::ValidatorOpenParams*) { return new Decoder; }
int decoder_push(void* h, const uint8_t* b, uint64_t n, uint64_t index)
{
    auto* d = static_cast<Decoder*>(h);
    d->pushed++;
    if (n > 4 && b[4] == 0x21 && d->failing == UINT64_MAX)
        d->failing = index;
    return d->failing != UINT64_MAX;
}
int decoder_result(void* h, validator::ValidatorResult* r)
{
    auto* d = static_cast<Decoder*>(h);
    r->samples_received = r->frames_decoded = d->pushed;
    r->failing_sample = d->failing, r->corrupt_frames = 0;
    return 0;
}
void decoder_close(void* h) { delete static_cast<Decoder*>(h); }

constexpr uint32_t sample = 300, samples = 6, per_chunk = 2, media = 32;

// The configuration record of the sequence parameter set `sps` and one picture parameter set.
Bytes avcc_of(const Bytes& sps)
{
    Bytes avcc = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, 0, uint8_t(sps.size())};
    mkcard::put_bytes(avcc, sps);
    mkcard::put_bytes(avcc, {1, 0, 2, 0x68, 0xEE});
    return avcc;
}

// The camera's file of three chunks of two samples, each sample's first unit header from `units`,
// and its movie box; `tag` sets the file's bytes apart from another recording's. `avcc` (empty: one
// that does not say the picture's size) is its configuration record.
void camera_file(const Bytes& units, uint8_t tag, Bytes* file, Bytes* moov, const Bytes& avcc = {})
{
    *file = box("ftyp", Bytes(16, 'X'));
    mkcard::put_be32(*file, media - 24 + sample * samples);
    mkcard::put_text(*file, "mdat");
    Bytes sizes = full(0, {0, samples}), offsets = full(0, {samples / per_chunk});
    for (uint32_t i = 0; i < samples; i++) {
        if (i % per_chunk == 0)
            mkcard::put_be32(offsets, uint32_t(file->size()));
        mkcard::put_be32(sizes, sample);
        mkcard::put_be32(*file, sample - 4);
        file->push_back(units[i]);
        file->resize(file->size() + sample - 5, tag);
    }
    Bytes stsd = full(0, {1});
    mkcard::put_bytes(stsd, box("avc1", box("avcC", avcc.size() ? avcc : avcc_of({0x67, 0x64, 0, 0x28}))));
    Bytes hdlr(24, 0);
    std::memcpy(hdlr.data() + 8, "vide", 4);
    Bytes stbl = boxes({box("stsd", stsd), box("stts", full(0, {0})), box("stsc", full(0, {1, 1, per_chunk, 1})),
                        box("stsz", sizes), box("stco", offsets)});
    Bytes mdia = box("mdia", boxes({box("hdlr", hdlr), box("minf", box("stbl", stbl))}));
    *moov = box("moov", boxes({box("mvhd", Bytes(100, 0)), box("trak", mdia)}));
}

// The same, every sample a key frame but `refused` (none: samples), which the decoder refuses.
void camera_file(uint32_t refused, uint8_t tag, Bytes* file, Bytes* moov)
{
    Bytes units(samples, 0x25);
    if (refused < samples)
        units[refused] = 0x21;
    camera_file(units, tag, file, moov);
}

uint8_t* copy_of(const Bytes& b)
{
    auto* c = static_cast<uint8_t*>(std::malloc(b.size()));
    std::memcpy(c, b.data(), b.size());
    return c;
}

// Recordings spooled and checked one after another on the workers, each handed over once the one
// before was taken, so that the queue runs empty between them: each takes the verdict its own
// samples give, as the writer's own check of it would, and only under the movie box checked. A
// refused check gives its decoder's room back (without a picture size it takes all of it).
TEST(DecodeAhead, EachRecordingTakesTheVerdictOfItsOwnSamples)
{
    struct Row {
        const char* name;
        uint32_t refused;      // the sample refused; samples: none
        bool other_movie;      // the writer holds another movie box than the one checked
        int known;
        uint64_t refused_chunk;
    };
    const Row rows[] = {
        {"decodes", samples, false, 1, UINT64_MAX},
        {"refused in its second chunk", 3, false, 1, 1},
        {"decodes after a refusal", samples, false, 1, UINT64_MAX},
        {"refused in its first chunk", 0, false, 1, 0},
        {"the writer's movie box another", samples, true, 0, 0},
        {"decodes, the last", samples, false, 1, UINT64_MAX},
    };
    const validator::ValidatorApi saved = validator::validator_api;
    validator::validator_api = validator::ValidatorApi{nullptr,        nullptr,        decoder_open, decoder_push,
                                                       decoder_result, decoder_result, decoder_close, 1};
    TempDir folder;
    rebuild::decode_ahead_begin(rebuild::decoder_room_beside_scan);
    rebuild::decode_ahead_scan_over();
    uint64_t header = 1 << 20;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Bytes file, moov, other_file, other_moov;
        camera_file(r.refused, uint8_t(header >> 20), &file, &moov);
        camera_file(samples, 0, &other_file, &other_moov);
        other_moov[other_moov.size() - 1] ^= 1;
        std::string path = folder.path.string() + "/spool" + std::to_string(header);
        write_file(path, file);
        rebuild::decode_ahead_submit(header, path.c_str(), copy_of(moov), moov.size(), header + file.size());
        mp4::MovieInfo movie{};
        const Bytes& writers = r.other_movie ? other_moov : moov;
        ASSERT_EQ(mp4::parse_movie_copy(copy_of(writers), writers.size(), header + file.size(), &movie), 1);
        rebuild::DecodedAhead out{};
        EXPECT_EQ(rebuild::decode_ahead_take(header, &movie, &out), r.known);
        if (r.known) {
            EXPECT_EQ(out.refused_chunk, r.refused_chunk);
            if (r.refused_chunk != UINT64_MAX) {
                EXPECT_EQ(out.refusal, rebuild::video_refused_sample);
                EXPECT_EQ(out.result.failing_sample, r.refused);
            } else {
                EXPECT_EQ(out.finish_rc, 0);
                EXPECT_EQ(out.result.samples_received, samples);
            }
        }
        mp4::free_movie_info(&movie);
        header += 1 << 20;
    }
    rebuild::decode_ahead_stop();
    validator::validator_api = saved;
}

// A decoder whose pushes of one recording's samples wait until the test lets them go on.
std::mutex held_lock;
std::condition_variable held_changed;
uint8_t held_tag = 0;
bool held_in = false, held_go = false;
int held_push(void*, const uint8_t* b, uint64_t n, uint64_t)
{
    std::unique_lock<std::mutex> held(held_lock);
    if (n > 5 && b[5] == held_tag) {
        held_in = true;
        held_changed.notify_all();
        held_changed.wait(held, [] { return held_go; });
    }
    return 0;
}
int finished(void*, validator::ValidatorResult* r)
{
    r->samples_received = r->frames_decoded = 1, r->corrupt_frames = 0, r->failing_sample = UINT64_MAX;
    return 0;
}
void closed(void*) {}

// The frame threads of each decoder opened: while the scan reads, a decoder decoded alone leaves
// room in a room that holds two for the next recording's on one thread; once it is over, the last
// check to open takes every core while another still runs.
TEST(DecodeAhead, DecodersShareTheRoomAndTheCores)
{
    uint32_t cores = std::thread::hardware_concurrency();
    if (cores < 2)
        GTEST_SKIP() << "one worker: no check runs beside another";
    char message[256];
    std::string library = std::string(MENDORA_BUILD_DIR) + "/test_doubles/libvalidator_double_good.so";
    ASSERT_EQ(validator::load_validator_from(library.c_str(), message, sizeof message), 1) << message;
    auto grants = reinterpret_cast<uint32_t (*)(uint32_t*, uint32_t)>(
        platform::find_symbol(validator::validator_api.library, "double_thread_grants"));
    ASSERT_TRUE(grants != nullptr);
    validator::validator_api.push = held_push, validator::validator_api.finish = finished;
    validator::validator_api.get_result = finished, validator::validator_api.close = closed;
    // 202 x 118 pictures, 10 bits: the parameter sets say what a picture costs
    Bytes avcc;
    ASSERT_TRUE(mkcard::build_avcc({0x67, 0x6E, 0x00, 0x0B, 0xA6, 0xCD, 0x94, 0x34, 0x47, 0x92, 0x6C, 0x04, 0x40, 0x00,
                                    0x00, 0x03, 0x00, 0x40, 0x00, 0x00, 0x0C, 0x83, 0xC5, 0x0A, 0x65, 0x80},
                                   {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0}, &avcc));
    TempDir folder;
    Bytes file[2], moov[2];
    std::string path[2];
    mp4::MovieInfo movie[2] = {};
    for (int i = 0; i < 2; i++) {
        // one key frame: the decoders cannot start again on fewer threads
        camera_file({0x25, 0x41, 0x41, 0x41, 0x41, 0x41}, uint8_t(0x30 + i), &file[i], &moov[i], avcc);
        path[i] = folder.path.string() + "/spool" + std::to_string(i);
        write_file(path[i], file[i]);
        ASSERT_EQ(mp4::parse_movie_copy(copy_of(moov[i]), moov[i].size(), (i + 1) << 20, &movie[i]), 1);
    }
    uint64_t cost = rebuild::decoded_picture_bytes(&movie[0]);
    ASSERT_GT(cost, 0u);
    // room for two decoders on one thread each beside the scan
    held_tag = 0x30, held_in = held_go = false;
    rebuild::decode_ahead_begin(2 * rebuild::decoder_room_for(cost, 1));
    rebuild::decode_ahead_submit(1 << 20, path[0].c_str(), copy_of(moov[0]), moov[0].size(), 1 << 20);
    {
        std::unique_lock<std::mutex> held(held_lock);
        held_changed.wait(held, [] { return held_in; });
    }
    rebuild::decode_ahead_scan_over();
    rebuild::decode_ahead_submit(2 << 20, path[1].c_str(), copy_of(moov[1]), moov[1].size(), 2 << 20);
    rebuild::DecodedAhead out{};
    EXPECT_EQ(rebuild::decode_ahead_take(2 << 20, &movie[1], &out), 1);
    {
        std::lock_guard<std::mutex> held(held_lock);
        held_go = true;
        held_changed.notify_all();
    }
    EXPECT_EQ(rebuild::decode_ahead_take(1 << 20, &movie[0], &out), 1);
    rebuild::decode_ahead_stop();
    uint32_t got[4] = {};
    ASSERT_EQ(grants(got, 4), 2u);
    EXPECT_EQ(got[0], 1u) << "the first beside the scan";
    EXPECT_EQ(got[1], std::min(cores, rebuild::frame_threads_within(cost, rebuild::decoder_room_for(cost, cores))))
        << "the last after it";
    for (mp4::MovieInfo& m : movie)
        mp4::free_movie_info(&m);
    validator::unload_validator();
}

// A decoder that remembers what came before a sequence start: it refuses every sample when its
// first was no IDR (0x25), refuses a sample of type 1 with reference 1 (0x21), and counts a
// sample of type 2 (0x22) as a corrupt frame, which, as in the library, does not fail the drain.
struct Remembering {
    uint64_t pushed = 0, failing = UINT64_MAX;
    uint32_t corrupt = 0;
    bool fresh = true, lost = false;
};
struct Stage {
    std::mutex lock;
    std::condition_variable changed;
    int opens = 0;
    bool first_done = false;
    uint64_t first_pushes = 0;  // the first recording's samples pushed to any decoder
} stage;
void* remembering_open(const validator::ValidatorOpenParams*)
{
    std::lock_guard<std::mutex> held(stage.lock);
    stage.opens++;
    stage.changed.notify_all();
    return new Remembering;
}
int remembering_push(void* h, const uint8_t* b, uint64_t, uint64_t index)
{
    auto* d = static_cast<Remembering*>(h);
    {
        // the first recording waits at its second sample until the second's decoder is open, the
        // second at its first sample until the first's decoder opened again (or ended)
        std::unique_lock<std::mutex> held(stage.lock);
        stage.first_pushes += b[5] == 1;
        if (b[5] == 1 && index == 1)
            stage.changed.wait(held, [] { return stage.opens >= 2; });
        if (b[5] == 2 && index == 0)
            stage.changed.wait(held, [] { return stage.opens >= 3 || stage.first_done; });
    }
    d->pushed++;
    d->lost = d->lost || (d->fresh && b[4] != 0x25);
    d->fresh = false;
    d->corrupt += b[4] == 0x22;
    if ((b[4] == 0x21 || d->lost) && d->failing == UINT64_MAX)
        d->failing = index;
    return d->failing != UINT64_MAX;
}
int remembering_result(void* h, validator::ValidatorResult* r)
{
    auto* d = static_cast<Remembering*>(h);
    r->samples_received = d->pushed;
    r->frames_decoded = d->pushed - d->corrupt;
    r->failing_sample = d->failing, r->corrupt_frames = d->corrupt;
    return d->failing != UINT64_MAX;
}
int remembering_finish(void* h, validator::ValidatorResult* r)
{
    std::lock_guard<std::mutex> held(stage.lock);
    stage.first_done = true;
    stage.changed.notify_all();
    return remembering_result(h, r);
}

// A recording checked alone takes every core; once a second one is handed over it gives up frame
// threads where a chunk starts a sequence (its third, the samples an IDR, a P, ...), and nowhere
// else: a clean track's samples each go to a decoder once. The verdict is the one a single decoder
// gives over the whole track: the counts of every part, and where a drain or a sample fails, the
// failure and the counts as one decoder gives them.
TEST(DecodeAhead, ADecoderStartedAgainGivesTheVerdictOfOne)
{
    if (std::thread::hardware_concurrency() < 2)
        GTEST_SKIP() << "one worker decodes one recording at a time";
    const Bytes rows[] = {
        {0x25, 0x41, 0x41, 0x41, 0x25, 0x41},  // decodes
        {0x25, 0x41, 0x41, 0x41, 0x25, 0x21},  // refused after the new start
        {0x25, 0x22, 0x41, 0x41, 0x25, 0x41},  // a corrupt frame before it
        {0x25, 0x41, 0x41, 0x41, 0x25, 0x22},  // and after it
    };
    const validator::ValidatorApi saved = validator::validator_api;
    validator::validator_api = validator::ValidatorApi{nullptr,           nullptr,           remembering_open,
                                                       remembering_push,  remembering_finish, remembering_result,
                                                       decoder_close,     1};
    TempDir folder;
    for (const Bytes& units : rows) {
        SCOPED_TRACE(testing::PrintToString(units));
        // what one decoder says of the whole track
        Remembering one;
        uint64_t refused_at = UINT64_MAX;
        for (uint32_t i = 0; i < samples && refused_at == UINT64_MAX; i++) {
            Bytes s = {0, 0, 0, 0, units[i], 0};
            if (remembering_push(&one, s.data(), s.size(), i))
                refused_at = i;
        }
        validator::ValidatorResult whole{};
        int whole_rc = remembering_result(&one, &whole);
        stage.opens = 0, stage.first_done = false, stage.first_pushes = 0;
        rebuild::decode_ahead_begin(rebuild::decoder_room_beside_scan);
        mp4::MovieInfo movies[2]{};
        for (uint8_t tag = 1; tag <= 2; tag++) {
            Bytes file, moov;
            camera_file(tag == 1 ? units : Bytes(samples, 0x25), tag, &file, &moov, avcc_of({0x67, 0x42, 0, 0x1E, 0xE8, 0x42, 0x64}));
            std::string path = folder.path.string() + "/spool" + std::to_string(tag);
            write_file(path, file);
            rebuild::decode_ahead_submit(tag, path.c_str(), copy_of(moov), moov.size(), file.size());
            ASSERT_EQ(mp4::parse_movie_copy(copy_of(moov), moov.size(), file.size(), &movies[tag - 1]), 1);
            std::unique_lock<std::mutex> held(stage.lock);  // the first opens alone
            stage.changed.wait(held, [] { return stage.opens >= 1; });
        }
        rebuild::DecodedAhead out{};
        ASSERT_EQ(rebuild::decode_ahead_take(1, &movies[0], &out), 1);
        EXPECT_GE(stage.opens, 3) << "the first recording's decoder never started again";
        EXPECT_EQ(out.refused_chunk, refused_at == UINT64_MAX ? UINT64_MAX : refused_at / per_chunk);
        EXPECT_EQ(out.result.failing_sample, whole.failing_sample);
        EXPECT_EQ(out.result.samples_received, whole.samples_received);
        EXPECT_EQ(out.result.frames_decoded, whole.frames_decoded);
        EXPECT_EQ(out.result.corrupt_frames, whole.corrupt_frames);
        if (refused_at == UINT64_MAX) {
            EXPECT_EQ(out.finish_rc, whole_rc);
        }
        if (whole_rc == 0 && whole.corrupt_frames == 0) {
            EXPECT_EQ(stage.first_pushes, samples) << "a clean track decoded more than once";
        }
        EXPECT_EQ(rebuild::decode_ahead_take(2, &movies[1], &out), 1);
        EXPECT_EQ(out.finish_rc, 0);
        rebuild::decode_ahead_stop();
        for (mp4::MovieInfo& m : movies)
            mp4::free_movie_info(&m);
    }
    validator::validator_api = saved;
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "analysis_fixture.h"
#include "tools/mkcard_media.h"
#include "validator/loader.h"

namespace {

using mkcard::Bytes;

// Offset and length of the first slice NAL unit (types 1 and 5) inside a sample.
bool find_slice(const Bytes& sample, size_t* at, size_t* len)
{
    size_t p = 0;
    while (p + 4 < sample.size()) {
        size_t n = mkcard::get_be32(&sample[p]);
        int type = sample[p + 4] & 0x1f;
        if (type == 1 || type == 5) {
            *at = p + 4;
            *len = n;
            return true;
        }
        p += 4 + n;
    }
    return false;
}

class ValidatorLibrary : public ::testing::Test {
protected:
    static mkcard::VideoStream stream;  // length-prefixed access units and their avcC record
    static void SetUpTestSuite()
    {
        fixture::TempDir dir;  // each test program encodes into its own folder: ctest runs them side by side
        std::string out = (dir.path / "stream.h264").string();
        std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=192x108:rate=25 -frames:v 40 "
                          "-c:v libx264 -preset veryfast -g 12 -bf 2 -x264-params aud=1 -pix_fmt yuv420p -f h264 '" +
                          out + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        Bytes es;
        ASSERT_TRUE(mkcard::read_file(out, &es) && mkcard::split_annex_b(es, false, &stream));
        ASSERT_EQ(stream.samples.size(), 40u);
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
mkcard::VideoStream ValidatorLibrary::stream;

TEST_F(ValidatorLibrary, OpensOnlyAvcWithAConfiguration)
{
    struct Case {
        const char *name, *format;
        bool with_config, opens;
    } cases[] = {
        {"avc1", "avc1", true, true},
        {"avc3", "avc3", true, true},
        {"HEVC", "hvc1", true, false},
        {"no configuration", "avc1", false, false},
    };
    for (const Case& c : cases) {
        void* h = open(c.format, c.with_config ? &stream.config : nullptr);
        EXPECT_EQ(h != nullptr, c.opens) << c.name;
        if (h)
            validator::validator_api.close(h);
    }
    EXPECT_EQ(validator::validator_api.get_abi(), validator::validator_abi);
}

enum Damage { none, flip_slice_tail, truncate_slice, garble_slice_header };

// Flipping the tail of a slice leaves a short slice: a predicted frame's missing macroblocks are
// concealed, a key frame's fail the decode. Cutting it short or garbling its header fails it too.
void damage_sample(Bytes& s, Damage damage)
{
    size_t at = 0, len = 0;
    ASSERT_TRUE(find_slice(s, &at, &len));
    if (damage == flip_slice_tail) {
        for (size_t i = at + len / 3; i < at + len; i++)
            s[i] ^= 0xA5;
    } else if (damage == garble_slice_header) {
        s[at + 1] = s[at + 2] = 0xff;
    } else if (damage == truncate_slice) {
        size_t keep = len / 2;
        s.erase(s.begin() + at + keep, s.begin() + at + len);
        for (int i = 0; i < 4; i++)
            s[at - 4 + i] = uint8_t(keep >> (24 - 8 * i));
    }
}

// A clean stream passes whole; a damaged slice is caught. Frame threads hand a sample's result
// back pushes later, the last ones only in the drain; the sample named, and whether a concealed
// frame counts, must not depend on the thread count.
TEST_F(ValidatorLibrary, CleanStreamPassesAndEveryThreadCountNamesTheDamagedSample)
{
    struct Case {
        const char* name;
        Damage damage;
        std::vector<size_t> damaged;
        uint64_t failing;  // what one thread names
    } cases[] = {
        {"clean stream", none, {}, validator::no_failing_sample},
        {"bytes flipped in a key frame's slice", flip_slice_tail, {0}, 0},
        {"first sample cut short", truncate_slice, {0}, 0},
        {"a middle sample cut short", truncate_slice, {17}, 17},
        {"last sample cut short", truncate_slice, {39}, 39},
        {"several samples cut short", truncate_slice, {20, 30, 38, 39}, 20},
        // the threads after it fail on its reference marking before its own result is due
        {"a garbled slice header", garble_slice_header, {30}, 30},
        {"a concealed frame is corrupt, no sample named", flip_slice_tail, {17}, validator::no_failing_sample},
    };
    for (const Case& c : cases) {
        std::vector<Bytes> samples = stream.samples;
        for (size_t k : c.damaged)
            damage_sample(samples[k], c.damage);
        for (const char* threads : {"1", "2", "16"}) {
            setenv("MENDORA_VALIDATOR_THREADS", threads, 1);
            void* h = open("avc1", &stream.config);
            ASSERT_NE(h, nullptr) << c.name;
            validator::ValidatorResult r{};
            r.version = validator::validator_abi;
            r.failing_sample = validator::no_failing_sample;
            size_t i = 0;
            while (i < samples.size() && validator::validator_api.push(h, samples[i].data(), samples[i].size(), i) == 0)
                i++;
            int failed = i < samples.size() ? validator::validator_api.get_result(h, &r) == 0
                                            : validator::validator_api.finish(h, &r) != 0;
            validator::validator_api.close(h);
            EXPECT_EQ(std::make_tuple(failed || r.corrupt_frames > 0, r.failing_sample),
                      std::make_tuple(int(!c.damaged.empty()), c.failing))
                << c.name << " with " << threads << " threads";
            if (c.damaged.empty()) {
                EXPECT_EQ(std::make_tuple(r.samples_received, r.frames_decoded),
                          std::make_tuple(uint64_t(40), uint64_t(40))) << threads << " threads";
            }
        }
    }
    unsetenv("MENDORA_VALIDATOR_THREADS");
}

}  // namespace

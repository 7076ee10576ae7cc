#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "validator/validator_api.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Stream {
    Bytes avcc;
    std::vector<Bytes> samples;  // 4-byte length-prefixed NAL units, one access unit each
};

Bytes read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<Bytes> split_annex_b(const Bytes& s)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= s.size(); i++)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    std::vector<Bytes> nals;
    for (size_t k = 0; k < starts.size(); k++) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
        while (end > starts[k] && s[end - 1] == 0)
            end--;
        nals.emplace_back(s.begin() + starts[k], s.begin() + end);
    }
    return nals;
}

void put_len(Bytes& out, size_t n)
{
    for (int i = 24; i >= 0; i -= 8)
        out.push_back(uint8_t(n >> i));
}

// The camera's layout: an avcC record and samples of length-prefixed NAL units.
Stream to_samples(const Bytes& annex_b)
{
    Stream st;
    Bytes sps, pps;
    for (const Bytes& nal : split_annex_b(annex_b)) {
        int type = nal[0] & 0x1f;
        if (type == 9) {  // access unit delimiter starts a new sample
            st.samples.emplace_back();
            continue;
        }
        if (type == 7 && sps.empty())
            sps = nal;
        if (type == 8 && pps.empty())
            pps = nal;
        if (st.samples.empty())
            st.samples.emplace_back();
        put_len(st.samples.back(), nal.size());
        st.samples.back().insert(st.samples.back().end(), nal.begin(), nal.end());
    }
    st.avcc = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, uint8_t(sps.size() >> 8), uint8_t(sps.size())};
    st.avcc.insert(st.avcc.end(), sps.begin(), sps.end());
    st.avcc.insert(st.avcc.end(), {1, uint8_t(pps.size() >> 8), uint8_t(pps.size())});
    st.avcc.insert(st.avcc.end(), pps.begin(), pps.end());
    return st;
}

// Offset and length of the first slice NAL unit (types 1 and 5) inside a sample.
bool find_slice(const Bytes& sample, size_t* at, size_t* len)
{
    size_t p = 0;
    while (p + 4 < sample.size()) {
        size_t n = (size_t(sample[p]) << 24) | (size_t(sample[p + 1]) << 16) | (size_t(sample[p + 2]) << 8) | sample[p + 3];
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
    static Stream stream;
    static void SetUpTestSuite()
    {
        std::string out = ::testing::TempDir() + "validator_library_test.h264";
        std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=192x108:rate=25 -frames:v 40 "
                          "-c:v libx264 -preset veryfast -g 12 -bf 2 -x264-params aud=1 -pix_fmt yuv420p -f h264 '" +
                          out + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        stream = to_samples(read_file(out));
        std::remove(out.c_str());
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
Stream ValidatorLibrary::stream;

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
        void* h = open(c.format, c.with_config ? &stream.avcc : nullptr);
        EXPECT_EQ(h != nullptr, c.opens) << c.name;
        if (h)
            validator::validator_api.close(h);
    }
    EXPECT_EQ(validator::validator_api.get_abi(), validator::validator_abi);
}

enum Damage { none, flip_slice_tail, truncate_slice };

TEST_F(ValidatorLibrary, CleanStreamPassesAndDamagedSliceIsCaught)
{
    struct Case {
        const char* name;
        Damage damage;
        size_t sample;  // the damaged one
    } cases[] = {
        {"clean stream", none, 0},
        {"bytes flipped in a key frame's slice", flip_slice_tail, 0},
        {"bytes flipped in a predicted frame's slice", flip_slice_tail, 17},
        {"slice cut short", truncate_slice, 22},
    };
    for (const Case& c : cases) {
        std::vector<Bytes> samples = stream.samples;
        if (c.damage != none) {
            Bytes& s = samples[c.sample];
            size_t at = 0, len = 0;
            ASSERT_TRUE(find_slice(s, &at, &len)) << c.name;
            if (c.damage == flip_slice_tail) {
                for (size_t i = at + len / 3; i < at + len; i++)
                    s[i] ^= 0xA5;
            } else {
                size_t keep = len / 2;
                s.erase(s.begin() + at + keep, s.begin() + at + len);
                for (int i = 0; i < 4; i++)
                    s[at - 4 + i] = uint8_t(keep >> (24 - 8 * i));
            }
        }
        void* h = open("avc1", &stream.avcc);
        ASSERT_NE(h, nullptr) << c.name;
        int rejected = 0;
        for (size_t i = 0; i < samples.size() && !rejected; i++)
            rejected = validator::validator_api.push(h, samples[i].data(), samples[i].size(), i) != 0;
        validator::ValidatorResult r{};
        r.version = validator::validator_abi;
        r.failing_sample = validator::no_failing_sample;
        if (rejected) {
            validator::validator_api.get_result(h, &r);
            EXPECT_EQ(r.failing_sample, c.sample) << c.name << ": the damaged sample is the one rejected";
            EXPECT_NE(c.damage, none) << c.name;
        } else {
            int rc = validator::validator_api.finish(h, &r);
            if (c.damage == none) {
                EXPECT_EQ(std::make_tuple(rc, r.samples_received, r.frames_decoded, r.corrupt_frames, r.failing_sample),
                          std::make_tuple(0, uint64_t(samples.size()), uint64_t(samples.size()), uint32_t(0),
                                          validator::no_failing_sample)) << c.name;
            } else {
                EXPECT_TRUE(rc != 0 || r.corrupt_frames > 0) << c.name << ": damage went unnoticed";
            }
        }
        validator::validator_api.close(h);
    }
}

}  // namespace

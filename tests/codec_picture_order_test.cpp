#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis_fixture.h"
#include "basics/byte_order.h"
#include "basics/sha256.h"
#include "codec/picture_order.h"
#include "tools/mkcard_bytes.h"

namespace {

using mkcard::Bytes;

// ---- real streams: an encoder's own settings, the mp4 its muxer writes as the reference ----

struct Packet {
    int64_t pts, dts;
    bool key;
};

struct Encoded {
    std::vector<Bytes> samples;  // length-prefixed access units in decode order
    std::vector<Packet> packets; // the muxer's, in decode order
};

bool is_slice(const uint8_t* unit, bool hevc)
{
    uint32_t type = hevc ? (unit[0] >> 1) & 0x3F : unit[0] & 0x1F;
    return hevc ? type < 32 : type == 1 || type == 5;
}

// A unit that can only open an access unit: delimiter, parameter sets, SEI (HEVC prefix SEI).
bool opens_access_unit(const uint8_t* unit, bool hevc)
{
    uint32_t type = hevc ? (unit[0] >> 1) & 0x3F : unit[0] & 0x1F;
    return hevc ? type >= 32 && type <= 39 : type >= 6 && type <= 9;
}

bool first_slice_of_picture(const uint8_t* unit, size_t size, bool hevc)
{
    // first_slice_segment_in_pic_flag, or first_mb_in_slice == 0 (ue 0 is a single 1 bit)
    size_t at = hevc ? 2 : 1;
    return size > at && (unit[at] & 0x80);
}

// Splits at start codes and groups the units into access units: a new one at an opening unit or
// the first slice of a picture, once the current one holds a slice.
std::vector<Bytes> access_units(const Bytes& es, bool hevc)
{
    std::vector<std::pair<size_t, size_t>> units;
    size_t start = 0;
    for (size_t i = 0; i + 3 <= es.size(); i++)
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
            if (start)
                units.push_back({start, i - start});
            start = i + 3;
        }
    if (start)
        units.push_back({start, es.size() - start});
    std::vector<Bytes> out;
    bool has_slice = false;
    for (auto [at, size] : units) {
        while (size > 0 && es[at + size - 1] == 0)  // the zero byte of the next four-byte start code
            size--;
        const uint8_t* unit = es.data() + at;
        bool slice = is_slice(unit, hevc);
        if (out.empty() || (has_slice && (opens_access_unit(unit, hevc) ||
                                          (slice && first_slice_of_picture(unit, size, hevc))))) {
            out.emplace_back();
            has_slice = false;
        }
        has_slice |= slice;
        mkcard::put_be32(out.back(), uint32_t(size));
        out.back().insert(out.back().end(), unit, unit + size);
    }
    return out;
}

std::string command_output(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    pclose(p);
    return out;
}

// The folder in encode-cache/ of the build folder that holds the encode of `command` by this
// encoder: ctest runs each test of a suite as a program of its own, and each would encode every
// stream again.
std::filesystem::path encode_cache(const std::string& command)
{
    static const std::string encoder = command_output("ffmpeg -version");
    std::string key = command + "\n" + encoder;
    basics::Sha256 h;
    basics::sha256_begin(&h);
    basics::sha256_add(&h, reinterpret_cast<const uint8_t*>(key.data()), key.size());
    uint8_t digest[basics::sha256_digest_bytes];
    basics::sha256_end(&h, digest);
    char hex[basics::sha256_hex_size];
    basics::sha256_hex(digest, hex);
    return std::filesystem::path(MENDORA_BUILD_DIR) / "encode-cache" / std::string(hex, 16);
}

// Encodes 64x64 test picture to mp4, takes the packets' times from it and the access units from
// its elementary stream; an encode made before with the same settings is read again.
void encode(const fixture::TempDir& dir, bool hevc, const std::string& codec, int frames, Encoded* out)
{
    std::string mp4 = (dir.path / "stream.mp4").string(), es = (dir.path / "stream.es").string();
    std::string settings = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=64x64:rate=30 -frames:v " +
                           std::to_string(frames) + " -pix_fmt yuv420p " + codec;
    std::filesystem::path cache = encode_cache(settings + (hevc ? " hevc" : " h264"));
    std::string packets;
    if (std::filesystem::exists(cache / "packets.csv")) {
        es = (cache / "stream.es").string();
        Bytes csv;
        ASSERT_TRUE(mkcard::read_file((cache / "packets.csv").string(), &csv));
        packets.assign(csv.begin(), csv.end());
    } else {
        std::string cmd = settings + " '" + mp4 + "' && ffmpeg -nostdin -loglevel error -y -i '" + mp4 +
                          "' -c copy -f " + (hevc ? "hevc" : "h264") + " '" + es + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        packets = command_output("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,flags -of csv=p=0 '" +
                                 mp4 + "'");
        // two programs that encode at once: the first one's stays
        std::error_code ignored;
        std::filesystem::path made = cache.string() + "." + dir.path.filename().string();
        std::filesystem::create_directories(made, ignored);
        std::filesystem::copy_file(es, made / "stream.es", ignored);
        std::ofstream(made / "packets.csv", std::ios::binary) << packets;
        std::filesystem::rename(made, cache, ignored);
        std::filesystem::remove_all(made, ignored);
    }
    std::istringstream lines(packets);
    for (std::string line; std::getline(lines, line);) {
        Packet p = {};
        char flags[16] = "";
        long long pts, dts;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lld,%lld,%15s", &pts, &dts, flags), 3) << line;
        p.pts = pts, p.dts = dts, p.key = flags[0] == 'K';
        out->packets.push_back(p);
    }
    Bytes stream;
    ASSERT_TRUE(mkcard::read_file(es, &stream));
    out->samples = access_units(stream, hevc);
    ASSERT_EQ(out->samples.size(), out->packets.size()) << codec;
}

// The place of every packet in the order of its presentation time.
std::vector<uint32_t> pts_ranks(const std::vector<Packet>& packets)
{
    std::vector<uint32_t> by_pts(packets.size()), rank(packets.size());
    for (uint32_t i = 0; i < by_pts.size(); i++)
        by_pts[i] = i;
    std::sort(by_pts.begin(), by_pts.end(), [&](uint32_t a, uint32_t b) { return packets[a].pts < packets[b].pts; });
    for (uint32_t i = 0; i < by_pts.size(); i++)
        rank[by_pts[i]] = i;
    return rank;
}

bool start_from(const Bytes& sample, bool hevc, codec::PictureOrderReader* reader)
{
    codec::ParameterSets sets;
    if (!codec::find_parameter_sets(sample.data(), sample.size(), hevc, &sets))
        return false;
    bool ok = codec::start_picture_order(&sets, hevc, reader);
    codec::free_parameter_sets(&sets);
    return ok;
}

struct Stream {
    const char* name;
    bool hevc;
    const char* codec;
};

const Stream streams[] = {
    {"x264 defaults (B-pyramid, weighted P, order count type 0)", false, "-c:v libx264 -x264-params aud=1"},
    {"x264 defaults with a key frame every 30", false, "-c:v libx264 -g 30 -x264-params aud=1"},
    {"x264 without B-frames (order count type 2)", false, "-c:v libx264 -bf 0 -x264-params aud=1"},
    {"x264 without delimiters", false, "-c:v libx264 -g 24"},
    {"x265 defaults", true, "-c:v libx265 -x265-params aud=1:log-level=error"},
    {"x265 defaults with an open GOP every 30", true, "-c:v libx265 -g 30 -x265-params aud=1:log-level=error"},
    {"x265 without B-frames", true, "-c:v libx265 -bf 0 -x265-params aud=1:log-level=error"},
    {"x265 closed GOPs", true, "-c:v libx265 -g 30 -x265-params aud=1:open-gop=0:log-level=error"},
    {"x265 with the order count wrapping at 64", true,
     "-c:v libx265 -x265-params aud=1:log2-max-poc-lsb=6:log-level=error"},
    {"x265 without delimiters", true, "-c:v libx265 -g 30 -x265-params log-level=error"},
};

class PictureOrderOfEncodes : public ::testing::Test {
protected:
    static std::vector<Encoded> encodes;
    static void SetUpTestSuite()
    {
        fixture::TempDir dir;  // each test program encodes into its own folder: ctest runs them side by side
        for (const Stream& s : streams) {
            encodes.emplace_back();
            encode(dir, s.hevc, s.codec, 75, &encodes.back());
        }
    }
};
std::vector<Encoded> PictureOrderOfEncodes::encodes;

TEST_F(PictureOrderOfEncodes, PresentationOrderAndOffsetsAreTheMuxers)
{
    ASSERT_EQ(encodes.size(), std::size(streams));
    for (size_t s = 0; s < encodes.size(); s++) {
        const Encoded& e = encodes[s];
        const char* name = streams[s].name;
        bool hevc = streams[s].hevc;
        codec::PictureOrderReader reader;
        ASSERT_TRUE(start_from(e.samples[0], hevc, &reader)) << name;
        uint32_t count = uint32_t(e.samples.size());
        std::vector<codec::PictureOrder> order(count);
        for (uint32_t i = 0; i < count; i++) {
            ASSERT_TRUE(codec::read_picture_order(&reader, e.samples[i].data(), e.samples[i].size(), &order[i]))
                << name << ", sample " << i;
            EXPECT_EQ(bool(order[i].key), e.packets[i].key) << name << ", sample " << i;
            EXPECT_FALSE(order[i].undecodable) << name << ", sample " << i;
        }
        EXPECT_TRUE(order[0].new_sequence) << name;
        std::vector<uint32_t> presentation(count);
        codec::presentation_order(order.data(), count, presentation.data());
        EXPECT_EQ(presentation, pts_ranks(e.packets)) << name;

        const uint32_t duration = 512;  // the muxer's ticks per frame at 30 frames a second
        std::vector<int32_t> signed_offsets(count);
        std::vector<uint32_t> offsets(count);
        uint32_t shift = 0;
        ASSERT_TRUE(codec::composition_offsets(presentation.data(), count, duration, signed_offsets.data(),
                                               offsets.data(), &shift))
            << name;
        EXPECT_EQ(*std::min_element(offsets.begin(), offsets.end()), 0u) << name;
        int64_t lead = e.packets[0].pts - e.packets[0].dts - signed_offsets[0];
        for (uint32_t i = 0; i < count; i++) {
            EXPECT_EQ(e.packets[i].pts - e.packets[i].dts, signed_offsets[i] + lead) << name << ", sample " << i;
            EXPECT_EQ(int64_t(offsets[i]), int64_t(signed_offsets[i]) + shift) << name << ", sample " << i;
        }
    }
}

// A recording without its movie box is timed by what its sequence parameter set states: every
// encode, whatever its reference structure, scaling and delimiters, says the rate it was made at.
TEST_F(PictureOrderOfEncodes, EveryStreamStatesItsFrameRate)
{
    for (size_t s = 0; s < encodes.size(); s++) {
        codec::ParameterSets sets;
        codec::SequenceParameters sps;
        const Bytes& first = encodes[s].samples[0];
        ASSERT_TRUE(codec::find_parameter_sets(first.data(), first.size(), streams[s].hevc, &sets)) << streams[s].name;
        EXPECT_TRUE(codec::read_sequence_parameters(sets.sps, sets.sps_size, streams[s].hevc, &sps)) << streams[s].name;
        codec::free_parameter_sets(&sets);
        EXPECT_EQ(sps.frame_rate.num, 30u) << streams[s].name;
        EXPECT_EQ(sps.frame_rate.den, 1u) << streams[s].name;
    }
}

// Salvage after a gap starts again at the next key frame, as at the start of a stream. After an
// open GOP's clean random access point the leading pictures that need the pictures before it are
// marked, and what remains is shown in the muxer's order.
TEST_F(PictureOrderOfEncodes, AfterAGapTheNextKeyFrameStartsAfresh)
{
    for (size_t s = 0; s < encodes.size(); s++) {
        const Encoded& e = encodes[s];
        const char* name = streams[s].name;
        bool hevc = streams[s].hevc;
        uint32_t count = uint32_t(e.samples.size()), second_key = 0;
        for (uint32_t i = 1; i < count && !second_key; i++)
            second_key = e.packets[i].key ? i : 0;
        if (!second_key)
            continue;
        codec::PictureOrderReader reader;
        ASSERT_TRUE(start_from(e.samples[0], hevc, &reader)) << name;
        codec::PictureOrder order;
        for (uint32_t i = 0; i + 2 < second_key; i++)  // the two samples before the key frame are lost
            ASSERT_TRUE(codec::read_picture_order(&reader, e.samples[i].data(), e.samples[i].size(), &order));
        codec::restart_picture_order(&reader);
        EXPECT_FALSE(codec::read_picture_order(&reader, e.samples[second_key + 1].data(),
                                               e.samples[second_key + 1].size(), &order))
            << name << ": a picture before the next key frame has no order to go by";
        std::vector<codec::PictureOrder> kept;
        std::vector<Packet> kept_packets;
        for (uint32_t i = second_key; i < count; i++) {
            ASSERT_TRUE(codec::read_picture_order(&reader, e.samples[i].data(), e.samples[i].size(), &order))
                << name << ", sample " << i;
            bool leading = e.packets[i].pts < e.packets[second_key].pts;
            EXPECT_EQ(bool(order.undecodable), leading) << name << ", sample " << i;
            if (i == second_key) {
                EXPECT_TRUE(order.new_sequence) << name;
            }
            if (!order.undecodable)
                kept.push_back(order), kept_packets.push_back(e.packets[i]);
        }
        std::vector<uint32_t> presentation(kept.size());
        codec::presentation_order(kept.data(), uint32_t(kept.size()), presentation.data());
        EXPECT_EQ(presentation, pts_ranks(kept_packets)) << name;
    }
}

// A damaged sample (here: its slice cut behind the first payload byte) is refused and leaves
// the reader as it was: the samples after it read as if it had never come.
TEST_F(PictureOrderOfEncodes, ADamagedSampleLeavesTheOrderAsItWas)
{
    for (size_t s = 0; s < encodes.size(); s++) {
        const Encoded& e = encodes[s];
        bool hevc = streams[s].hevc;
        codec::PictureOrderReader whole, damaged;
        ASSERT_TRUE(start_from(e.samples[0], hevc, &whole) && start_from(e.samples[0], hevc, &damaged));
        for (uint32_t i = 0; i < e.samples.size(); i++) {
            const Bytes& sample = e.samples[i];
            codec::PictureOrder a, b;
            size_t at = 0;
            while (at + 4 < sample.size() && !is_slice(sample.data() + at + 4, hevc))
                at += 4 + basics::load_be32(sample.data() + at);
            Bytes cut(sample.begin(), sample.begin() + at);
            uint32_t keep = hevc ? 3 : 2;
            mkcard::put_be32(cut, keep);
            cut.insert(cut.end(), sample.begin() + at + 4, sample.begin() + at + 4 + keep);
            if (!e.packets[i].key) {
                EXPECT_FALSE(codec::read_picture_order(&damaged, cut.data(), cut.size(), &b)) << streams[s].name;
            }
            ASSERT_TRUE(codec::read_picture_order(&whole, sample.data(), sample.size(), &a));
            ASSERT_TRUE(codec::read_picture_order(&damaged, sample.data(), sample.size(), &b));
            EXPECT_EQ(a.poc, b.poc) << streams[s].name << ", sample " << i;
        }
    }
}

// A ctts entry holds 32 bits: version 1 a signed offset, version 0 one moved by the shift.
TEST(CompositionOffsets, RefuseWhatACttsEntryCannotHold)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> presentation;
        uint32_t duration;
        bool fits;
        uint32_t shift;
    } cases[] = {
        {"a B-frame shown before the P decoded before it", {0, 2, 1}, 512, true, 512},
        {"one frame of 2^31 - 1 ticks either way", {1, 0}, 0x7FFFFFFF, true, 0x7FFFFFFF},
        {"one frame of 2^31 ticks later than decoded", {1, 0}, 0x80000000u, false, 0},
        {"two frames of 2^31 ticks apart", {2, 1, 0}, 0x80000000u, false, 0},
        {"frames in decode order, whatever their duration", {0, 1, 2}, 0xFFFFFFFFu, true, 0},
        {"one frame of 2^32 - 1 ticks earlier than decoded", {1, 0}, 0xFFFFFFFFu, false, 0},
    };
    for (const Case& c : cases) {
        uint32_t n = uint32_t(c.presentation.size()), shift = 1;
        std::vector<int32_t> signed_offsets(n);
        std::vector<uint32_t> offsets(n);
        EXPECT_EQ(bool(codec::composition_offsets(c.presentation.data(), n, c.duration, signed_offsets.data(),
                                                   offsets.data(), &shift)),
                  c.fits)
            << c.name;
        if (c.fits) {
            EXPECT_EQ(shift, c.shift) << c.name;
        }
    }
}

// ---- hand-built AVC streams: the order count types and operations no encoder at hand writes ----

struct BitWriter {
    Bytes bytes;
    int used = 8;  // bits taken in the last byte
    void put(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            if (used == 8)
                bytes.push_back(0), used = 0;
            bytes.back() |= uint8_t(((v >> i) & 1) << (7 - used++));
        }
    }
    void ue(uint32_t v)
    {
        int len = 0;
        while (((v + 1) >> len) > 1)
            len++;
        put(0, len);
        put(v + 1, len + 1);
    }
    void se(int32_t v) { ue(v > 0 ? 2 * uint32_t(v) - 1 : 2 * uint32_t(-v)); }
    // The NAL unit: header, payload with its stop bit, emulation prevention bytes.
    Bytes unit(uint8_t header)
    {
        put(1, 1);
        Bytes out{header};
        int zeros = 0;
        for (uint8_t c : bytes) {
            if (zeros >= 2 && c <= 3)
                out.push_back(3), zeros = 0;
            out.push_back(c);
            zeros = c == 0 ? zeros + 1 : 0;
        }
        return out;
    }
};

// An HEVC SPS whose short-term reference sets are predicted from the set in front of each, as
// encoders other than ours write them: its timing, behind the sets, is read only when each
// predicted set is walked with as many entries as the set it comes from names pictures.
TEST(FrameRateOfHandBuiltSets, SetsPredictedFromTheOneBefore)
{
    BitWriter w;
    w.put(1, 8);                             // the header's second byte: layer 0, temporal id 1
    w.put(0, 4), w.put(0, 3), w.put(1, 1);  // VPS 0, one sub-layer, nested
    w.put(0x01600000, 32), w.put(0, 32), w.put(0, 24), w.put(93, 8);  // Main, level 3.1
    w.ue(0), w.ue(1), w.ue(64), w.ue(64), w.put(0, 1);               // SPS 0, 4:2:0, 64x64
    w.ue(0), w.ue(0), w.ue(4);                                       // 8 bits, 8 order count bits
    w.put(1, 1), w.ue(4), w.ue(2), w.ue(0);                          // picture buffering
    w.ue(0), w.ue(3), w.ue(0), w.ue(3), w.ue(1), w.ue(1);            // block sizes and depths
    w.put(0, 1), w.put(0, 1), w.put(1, 1), w.put(0, 1);              // no lists, no AMP, SAO, no PCM
    w.ue(3);
    w.ue(2), w.ue(1);  // the first set: two pictures before, one after
    for (uint32_t i = 0; i < 3; i++)
        w.ue(i), w.put(1, 1);
    // the second from the first (four entries): used; neither; kept; used: three pictures
    w.put(1, 1), w.put(0, 1), w.ue(0), w.put(1, 1), w.put(0, 2), w.put(1, 2), w.put(1, 1);
    // the third from the second (four entries), all used
    w.put(1, 1), w.put(1, 1), w.ue(1), w.put(0xF, 4);
    w.put(0, 1), w.put(1, 1), w.put(1, 1);  // no long-term pictures, motion vectors, smoothing
    w.put(1, 1), w.put(0, 4), w.put(0, 3), w.put(0, 1);  // usability: nothing up to the timing
    w.put(1, 1), w.put(1001, 32), w.put(30000, 32), w.put(0, 3), w.put(0, 1);
    Bytes sps = w.unit(0x42);
    codec::SequenceParameters s;
    ASSERT_TRUE(codec::read_sequence_parameters(sps.data(), uint32_t(sps.size()), 1, &s));
    EXPECT_EQ(s.frame_rate.num, 30000u);
    EXPECT_EQ(s.frame_rate.den, 1001u);
}

struct Coding {
    const char* name;
    uint32_t poc_type;
    bool bottom_present;  // the PPS's bottom_field_pic_order_in_frame_present
};

// Frame numbers run to 16 and type 0's low bits to 16, so a stream of a few dozen frames wraps
// both. Type 1 expects a reference frame 6 order counts (3 frames) after the one before, then 2,
// and a non-reference frame 4 before the reference frame decoded before it.
Bytes avc_sps(uint32_t poc_type)
{
    BitWriter w;
    w.put(77, 8), w.put(0, 8), w.put(30, 8);  // main profile, level 3
    w.ue(0);                                  // SPS id
    w.ue(0);                                  // 4 frame number bits
    w.ue(poc_type);
    if (poc_type == 0)
        w.ue(0);  // 4 low order count bits
    if (poc_type == 1) {
        w.put(0, 1);  // deltas present in the slices
        w.se(-4), w.se(0), w.ue(2), w.se(6), w.se(2);
    }
    w.ue(2), w.put(0, 1), w.ue(3), w.ue(3);  // reference frames, no gaps, 64x64
    w.put(1, 1), w.put(1, 1), w.put(0, 1), w.put(0, 1);  // frames only, direct 8x8, no crop, no VUI
    return w.unit(0x67);
}

Bytes avc_pps(bool bottom_present)
{
    BitWriter w;
    w.ue(0), w.ue(0), w.put(0, 1), w.put(bottom_present, 1);
    w.ue(0), w.ue(0), w.ue(0), w.put(0, 1), w.put(0, 2);  // one slice group, one reference, no weights
    w.se(0), w.se(0), w.se(0), w.put(1, 1), w.put(0, 1), w.put(0, 1);
    return w.unit(0x68);
}

struct Picture {
    char kind;  // 'I' IDR, 'P' reference P, 'B' non-reference B, 'p' non-reference P
    uint32_t frame_num;
    int32_t poc;        // as the encoder meant it: 2 per frame from the last IDR or reset
    int32_t delta_poc;  // type 1
    bool reset;         // memory_management_control_operation 5
    uint32_t display;
};

Bytes avc_slice(const Picture& p, const Coding& c)
{
    bool idr = p.kind == 'I', ref = idr || p.kind == 'P', b = p.kind == 'B';
    BitWriter w;
    w.ue(0);
    w.ue(idr ? 7 : b ? 6 : 5);
    w.ue(0);
    w.put(p.frame_num, 4);
    if (idr)
        w.ue(0);
    if (c.poc_type == 0)
        w.put(uint32_t(p.poc) & 15, 4);
    if (c.poc_type == 1)
        w.se(p.delta_poc);
    if (c.poc_type < 2 && c.bottom_present)
        w.se(0);
    if (b)
        w.put(1, 1);  // spatial direct prediction
    if (!idr)
        w.put(0, 1), w.put(0, 1);  // no count override, no list modification
    if (b)
        w.put(0, 1);
    if (ref && idr)
        w.put(0, 2);
    if (ref && !idr) {
        w.put(p.reset, 1);
        if (p.reset)
            w.ue(5), w.ue(0);
    }
    w.se(0), w.ue(0);  // quantiser delta, deblocking
    return w.unit(idr ? 0x65 : ref ? 0x41 : 0x01);
}

// A plan of 'I' (IDR), 'G' (a group: a reference P and its non-reference pictures) and 'R' (a
// group whose P resets the order count). Types 0 and 1: odd groups since the last IDR or reset
// show two B pictures before their P, even ones the P alone; type 2 cannot reorder, so an odd
// group's non-reference P follows its reference P.
std::vector<Picture> plan_pictures(const char* plan, bool reorder)
{
    std::vector<Picture> out;
    uint32_t frame_num = 0, display = 0, group = 0, base = 0;
    auto poc = [&](uint32_t shown) { return 2 * (int32_t(shown) - int32_t(base)); };
    for (const char* c = plan; *c; c++) {
        if (*c == 'I') {
            base = display;
            out.push_back({'I', 0, 0, 0, false, display++});
            frame_num = 1, group = 0;
            continue;
        }
        bool odd = ++group % 2 == 1, reset = *c == 'R';
        uint32_t shown_p = reorder && odd ? display + 2 : display;
        out.push_back({'P', frame_num, poc(shown_p), 0, reset, shown_p});
        frame_num = reset ? 1 : (frame_num + 1) % 16;
        if (reset)
            base = shown_p, group = 0;
        if (odd && reorder)
            for (uint32_t k = 0; k < 2; k++)
                out.push_back({'B', frame_num, poc(display + k), int32_t(2 * k), false, display + k});
        if (odd && !reorder)
            out.push_back({'p', frame_num, 0, 0, false, display + 1});
        display += odd ? reorder ? 3 : 2 : 1;
    }
    return out;
}

TEST(PictureOrderOfAvcTypes, EveryOrderCountTypeGivesTheEncodersOrder)
{
    const char* plan = "IGGGGGGGGGGGGGGGGGGGGRGGGGGGIGGGRGGGGGGG";
    const Coding codings[] = {
        {"type 0, low bits wrapping every 8 frames", 0, false},
        {"type 0 with bottom field deltas", 0, true},
        {"type 1 with a cycle of two reference offsets", 1, false},
        {"type 1 with bottom field deltas", 1, true},
        {"type 2", 2, false},
    };
    for (const Coding& c : codings) {
        std::vector<Picture> pictures = plan_pictures(plan, c.poc_type < 2);
        codec::PictureOrderReader reader;
        Bytes sps = avc_sps(c.poc_type), pps = avc_pps(c.bottom_present);
        codec::ParameterSets sets = {nullptr, 0, sps.data(), uint32_t(sps.size()), pps.data(), uint32_t(pps.size())};
        ASSERT_TRUE(codec::start_picture_order(&sets, 0, &reader)) << c.name;
        std::vector<codec::PictureOrder> order(pictures.size());
        std::vector<uint32_t> display(pictures.size());
        for (size_t i = 0; i < pictures.size(); i++) {
            Bytes sample;
            for (const Bytes& unit : {Bytes{0x09, 0xF0}, avc_slice(pictures[i], c)}) {
                mkcard::put_be32(sample, uint32_t(unit.size()));
                sample.insert(sample.end(), unit.begin(), unit.end());
            }
            ASSERT_TRUE(codec::read_picture_order(&reader, sample.data(), sample.size(), &order[i]))
                << c.name << ", picture " << i;
            EXPECT_EQ(bool(order[i].order_restarts), pictures[i].kind == 'I' || pictures[i].reset)
                << c.name << ", picture " << i;
            EXPECT_EQ(bool(order[i].reference), pictures[i].kind == 'I' || pictures[i].kind == 'P')
                << c.name << ", picture " << i;
            display[i] = pictures[i].display;
        }
        std::vector<uint32_t> presentation(pictures.size());
        codec::presentation_order(order.data(), uint32_t(order.size()), presentation.data());
        EXPECT_EQ(presentation, display) << c.name;
    }
}

}  // namespace

#include "tools/mkcard_media.h"
#include "tools/mkcard_config.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace mkcard {

namespace {

struct Nal {
    size_t start;
    size_t len;
};

std::vector<Nal> find_nals(const Bytes& es)
{
    std::vector<Nal> nals;
    size_t n = es.size();
    size_t i = 0;
    size_t cur = SIZE_MAX;
    while (i + 3 <= n) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
            if (cur != SIZE_MAX) {
                size_t end = i;
                while (end > cur && es[end - 1] == 0)
                    end--;
                nals.push_back({cur, end - cur});
            }
            cur = i + 3;
            i += 3;
        } else {
            i++;
        }
    }
    if (cur != SIZE_MAX && cur < n)
        nals.push_back({cur, n - cur});
    return nals;
}

unsigned nal_type(const uint8_t* p, bool hevc) { return hevc ? (p[0] >> 1) & 0x3F : p[0] & 0x1F; }

uint32_t piece_frames(const VideoFormat& f, uint32_t frames)
{
    // about 240 frames at the default 256 x 144, two groups from 1080p on
    uint64_t pixels = uint64_t(f.width) * f.height;
    uint64_t groups = std::max<uint64_t>(2, std::min<uint64_t>(20, 20 * 36864 / std::max<uint64_t>(pixels, 1)));
    return static_cast<uint32_t>(std::min<uint64_t>(frames, groups * 12));
}

// Filler payload bytes of frame `i`: 8 more for each repeat of the piece, 256 repeats apart before
// they come again, which puts equal sizes tens of megabytes apart.
uint64_t filler_bytes(const VideoStream& v, uint64_t i)
{
    uint64_t repeat = i / v.samples.size();
    return i % 12 == 0 ? 8 * (repeat % 256) : 0;
}

} // namespace

uint64_t frame_size(const VideoStream& v, uint64_t i)
{
    uint64_t filler = filler_bytes(v, i);
    // length field, NAL header of 1 (AVC) or 2 (HEVC) bytes, the payload and its stop byte
    return v.samples[i % v.samples.size()].size() + (filler ? 4 + (v.hevc ? 2 : 1) + filler + 1 : 0);
}

void copy_frame_bytes(const VideoStream& v, uint64_t i, uint64_t from, uint8_t* dst, uint64_t n)
{
    const Bytes& sample = v.samples[i % v.samples.size()];
    uint64_t filler = filler_bytes(v, i);
    if (from < sample.size()) {
        uint64_t take = std::min<uint64_t>(n, sample.size() - from);
        std::memcpy(dst, sample.data() + from, take);
        dst += take, from += take, n -= take;
    }
    if (!n)
        return;
    // the filler unit: its length, its NAL header, `filler` bytes of 0xFF and the stop byte
    uint8_t head[6];
    uint64_t head_len = v.hevc ? 6 : 5;
    set_be32(head, static_cast<uint32_t>((v.hevc ? 2 : 1) + filler + 1));
    if (v.hevc)
        head[4] = 38 << 1, head[5] = 1;
    else
        head[4] = 12;
    for (uint64_t at = from - sample.size(); n; at++, dst++, n--)
        *dst = at < head_len ? head[at] : at < head_len + filler ? 0xFF : 0x80;
}

void put_frame(Bytes& b, const VideoStream& v, uint64_t i)
{
    size_t at = b.size();
    b.resize(at + frame_size(v, i));
    copy_frame_bytes(v, i, 0, b.data() + at, b.size() - at);
}

int is_key_frame(const VideoStream& v, uint64_t i)
{
    if (!v.key.empty())
        return v.key[i % v.key.size()];
    const Bytes& s = v.samples[i % v.samples.size()];
    for (size_t at = 0; at + 5 <= s.size(); at += 4 + get_be32(s.data() + at)) {
        unsigned type = nal_type(s.data() + at + 4, v.hevc);
        if (v.hevc ? type >= 16 && type <= 21 : type == 5)
            return 1;
    }
    return 0;
}

int split_annex_b(const Bytes& es, bool hevc, VideoStream* out)
{
    VideoStream v;
    v.hevc = hevc;
    Bytes vps, sps, pps;
    unsigned aud = hevc ? 35 : 9;
    for (const Nal& nal : find_nals(es)) {
        if (nal.len == 0)
            continue;
        const uint8_t* p = es.data() + nal.start;
        unsigned type = nal_type(p, hevc);
        Bytes body(p, p + nal.len);
        if (type == aud)
            v.samples.emplace_back();
        else if (v.samples.empty())
            return 0;
        if (hevc && type == 32 && vps.empty())
            vps = body;
        if (type == (hevc ? 33u : 7u) && sps.empty())
            sps = body;
        if (type == (hevc ? 34u : 8u) && pps.empty())
            pps = body;
        put_be32(v.samples.back(), static_cast<uint32_t>(nal.len));
        put_bytes(v.samples.back(), body);
    }
    if (v.samples.empty())
        return 0;
    int ok = hevc ? build_hvcc(vps, sps, pps, &v.config) : build_avcc(sps, pps, &v.config);
    if (!ok)
        return 0;
    *out = std::move(v);
    return 1;
}

namespace {

// Drops the parameter set units from every sample: the decoder finds them in the configuration only.
void drop_parameter_sets(VideoStream& v)
{
    for (Bytes& s : v.samples) {
        Bytes kept;
        for (size_t at = 0; at + 5 <= s.size(); at += 4 + get_be32(s.data() + at)) {
            unsigned type = nal_type(s.data() + at + 4, v.hevc);
            bool set = v.hevc ? type >= 32 && type <= 34 : type == 7 || type == 8;
            if (!set)
                kept.insert(kept.end(), s.begin() + at, s.begin() + at + 4 + get_be32(s.data() + at));
        }
        s = std::move(kept);
    }
}

// Reads the "pts,dts,flags" lines ffprobe wrote for every packet of a 90 kHz stream at 25 frames a
// second into composition offsets in frames and key flags; 0 when decode times are not one frame apart.
int read_packets(const std::string& path, const VideoFormat& f, VideoStream& v)
{
    // one frame in the transport stream's 90 kHz clock: 3600 at 25 frames a second, 1501.5 at
    // 60000/1001, whose times the muxer rounds to the tick
    const double tick = 90000.0 * f.rate_den / f.rate_num;
    auto frames_in = [tick](long long t, long long* k) {
        *k = std::llround(static_cast<double>(t) / tick);
        return std::fabs(static_cast<double>(t) - static_cast<double>(*k) * tick) <= 1.0;
    };
    Bytes text;
    if (!read_file(path, &text))
        return 0;
    text.push_back(0);
    long long first_dts = 0;
    size_t n = 0;
    for (const char* line = reinterpret_cast<const char*>(text.data()); *line;) {
        long long pts = 0, dts = 0;
        char flags[8] = "";
        if (std::sscanf(line, "%lld,%lld,%7[^,\n]", &pts, &dts, flags) == 3) {
            if (n == 0)
                first_dts = dts;
            long long at = 0, offset = 0;
            if (!frames_in(dts - first_dts, &at) || at != static_cast<long long>(n) || pts < dts ||
                !frames_in(pts - dts, &offset))
                return 0;
            v.offsets.push_back(static_cast<uint32_t>(offset));
            v.key.push_back(flags[0] == 'K' ? 1 : 0);
            n++;
        }
        while (*line && *line != '\n')
            line++;
        while (*line == '\n')
            line++;
    }
    return n > 0;
}

// The frame rate for the test source, and the part of a cached encode's name that tells it (none
// at the 25 frames a second every older encode was made at).
std::string source_rate(const VideoFormat& f)
{
    return f.rate_den == 1 ? std::to_string(f.rate_num) : std::to_string(f.rate_num) + "/" + std::to_string(f.rate_den);
}
std::string rate_name(const VideoFormat& f)
{
    return f.rate_num == 25 && f.rate_den == 1 ? "" : "_r" + std::to_string(f.rate_num) + "-" + std::to_string(f.rate_den);
}

// The rate control of a stream encoded at an asked bit rate: a buffer of about two frames keeps each
// group near the rate, even a short one. One encoder thread: with several, the rate control's
// choices, and with them the card, change from run to run.
std::string rate_options(const VideoFormat& f)
{
    if (!f.mbps)
        return "";
    char r[128];
    std::snprintf(r, sizeof r, "-b:v %uM -maxrate %uM -bufsize %uk -threads 1 ", f.mbps, f.mbps, f.mbps * 80);
    return r;
}

// The source's pixel format for the encoder, and the AVC profile that codes it.
const char* pixel_name(const VideoFormat& f)
{
    return f.pixels == PixelFormat::yuv422p10 ? "yuv422p10le" : f.pixels == PixelFormat::yuv420p10 ? "yuv420p10le" : "yuv420p";
}
const char* avc_profile(const VideoFormat& f)
{
    return f.pixels == PixelFormat::yuv422p10 ? "high422" : f.pixels == PixelFormat::yuv420p10 ? "high10" : "main";
}

// The encoder parameter that cuts each picture into slices (both encoders name it alike), and the
// part of a cached encode's name that tells the sampling and slices (none for 8-bit 4:2:0 in one).
std::string slice_option(const VideoFormat& f) { return f.slices ? ":slices=" + std::to_string(f.slices) : ""; }
std::string coding_name(const VideoFormat& f)
{
    std::string name = f.pixels == PixelFormat::yuv422p10 ? "_422p10" : f.pixels == PixelFormat::yuv420p10 ? "_420p10" : "";
    return f.slices ? name + "_s" + std::to_string(f.slices) : name;
}

// x265 takes its threads from its own parameters
std::string x265_rate_threads(const VideoFormat& f) { return f.mbps ? ":frame-threads=1:pools=1" : ""; }

// The encoder settings of a camera-like stream: its defaults apart from the asked reordering and
// key frame interval, an access unit delimiter in every sample and parameter sets at every key frame.
std::string camera_codec(const VideoFormat& f)
{
    uint32_t gop = f.gop ? f.gop : 12;
    char c[512];
    if (f.hevc)
        std::snprintf(c, sizeof c,
                      "-c:v libx265 -x265-params aud=1:repeat-headers=1:keyint=%u:min-keyint=%u:scenecut=0:"
                      "bframes=%u:open-gop=%d:log-level=error%s%s",
                      gop, gop, f.bframes, f.open_gop ? 1 : 0, x265_rate_threads(f).c_str(), slice_option(f).c_str());
    else
        std::snprintf(c, sizeof c,
                      "-c:v libx264 -profile:v %s -bf %u -x264-params aud=1:keyint=%u:min-keyint=%u:scenecut=0%s%s",
                      avc_profile(f), f.bframes, gop, gop, f.open_gop ? ":open-gop=1" : "", slice_option(f).c_str());
    return c;
}

// A camera-like stream, encoded whole through a transport stream, which keeps every packet's
// presentation and decode time, then copied out as the elementary stream.
VideoStream encode_camera_like(const VideoFormat& f, uint32_t frames, uint32_t seed)
{
    std::string dir = "/tmp/mendora-mkcard-cache";
    run_command("mkdir -p " + dir);
    char name[256];
    std::snprintf(name, sizeof name, "/c1_%s_%ux%u_%uM%s_b%u_g%u%s_%u_%u", f.hevc ? "hevc" : "avc", f.width,
                  f.height, f.mbps, f.mbps ? "1t" : "", f.bframes, f.gop ? f.gop : 12, f.open_gop ? "_open" : "", frames, seed);
    std::string path = dir + name + rate_name(f) + coding_name(f), es_path = path + (f.hevc ? ".hevc" : ".h264"), pkt_path = path + ".pkt";
    std::string tmp = path + "." + std::to_string(static_cast<int>(getpid()));
    Bytes es;
    if (!read_file(es_path, &es) || es.empty() || !read_file(pkt_path, &es) || es.empty()) {
        std::string bitrate = rate_options(f);
        char head[512];
        std::snprintf(head, sizeof head,
                      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=%ux%u:rate=%s,"
                      "noise=alls=12:allf=t:all_seed=%u -frames:v %u -pix_fmt %s %s",
                      f.width, f.height, source_rate(f).c_str(), seed + 1, frames, pixel_name(f), bitrate.c_str());
        std::string cmd = std::string(head) + camera_codec(f) + " -f mpegts '" + tmp + ".ts' && " +
                          "ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,flags -of csv=p=0 '" +
                          tmp + ".ts' > '" + tmp + ".pkt' && ffmpeg -nostdin -v error -y -i '" + tmp +
                          ".ts' -c copy -f " + (f.hevc ? "hevc" : "h264") + " '" + tmp + ".es' && mv '" + tmp +
                          ".pkt' '" + pkt_path + "' && mv '" + tmp + ".es' '" + es_path + "'";
        int ok = run_command(cmd);
        run_command("rm -f '" + tmp + ".ts'");
        if (!ok)
            die("ffmpeg could not encode the test video");
    }
    VideoStream v;
    if (!read_file(es_path, &es) || !split_annex_b(es, f.hevc, &v) || v.samples.size() != frames)
        die("the encoded stream does not split into one access unit per frame: " + es_path);
    if (!read_packets(pkt_path, f, v) || v.offsets.size() != frames || !v.key[0])
        die("the encoded stream's packet times are not one frame apart: " + pkt_path);
    if (f.params_out_of_band)
        drop_parameter_sets(v);
    v.width = f.width;
    v.height = f.height;
    return v;
}

} // namespace

int camera_like(const VideoFormat& f) { return f.bframes || f.gop || f.open_gop || f.params_out_of_band; }

VideoStream encode_video(const VideoFormat& f, uint32_t frames, uint32_t seed)
{
    if (camera_like(f))
        return encode_camera_like(f, frames, seed);
    uint32_t piece = piece_frames(f, frames);
    // two cards made at once may encode the same stream; each writes its own temporary file. The
    // name carries a version so that a change of encoder settings never reuses an old encode.
    std::string dir = "/tmp/mendora-mkcard-cache";
    run_command("mkdir -p " + dir);
    char rate[64] = "";
    if (f.mbps)
        std::snprintf(rate, sizeof rate, "_%uM1t", f.mbps);
    char name[160];
    std::snprintf(name, sizeof name, "/v1_%s_%ux%u%s%s%s_%u_%u.%s", f.hevc ? "hevc" : "avc", f.width, f.height, rate,
                  rate_name(f).c_str(), coding_name(f).c_str(), piece, seed, f.hevc ? "hevc" : "h264");
    std::string path = dir + name;
    Bytes es;
    if (!read_file(path, &es) || es.empty()) {
        std::string bitrate = rate_options(f);
        char cmd[1024];
        std::string codec = f.hevc ? "-c:v libx265 -x265-params aud=1:keyint=12:min-keyint=12:scenecut=0:"
                                     "bframes=0:open-gop=0:log-level=error" + x265_rate_threads(f) + slice_option(f) + " -f hevc"
                                   : std::string("-c:v libx264 -profile:v ") + avc_profile(f) + " -bf 0 "
                                     "-x264-params aud=1:keyint=12:min-keyint=12:scenecut=0" + slice_option(f) + " -f h264";
        std::snprintf(cmd, sizeof cmd,
                      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=%ux%u:rate=%s,"
                      "noise=alls=12:allf=t:all_seed=%u -frames:v %u -pix_fmt %s -preset ultrafast %s%s "
                      "'%s.%d.tmp' && mv '%s.%d.tmp' '%s'",
                      f.width, f.height, source_rate(f).c_str(), seed + 1, piece, pixel_name(f), bitrate.c_str(), codec.c_str(), path.c_str(), static_cast<int>(getpid()),
                      path.c_str(), static_cast<int>(getpid()), path.c_str());
        if (!run_command(cmd) || !read_file(path, &es))
            die("ffmpeg could not encode the test video");
    }
    VideoStream v;
    if (!split_annex_b(es, f.hevc, &v) || v.samples.size() != piece)
        die("the encoded stream does not split into one access unit per frame: " + path);
    v.width = f.width;
    v.height = f.height;
    return v;
}

namespace {

uint64_t mix(uint64_t x)
{
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Music: two voices of notes 0.4 s long, the second half a note behind the first; each note
// rises and fades to nothing (sin^2), so the sum has no step anywhere, and each takes a pitch and
// loudness of its own from the recording's seed.
double music_at(uint64_t i, uint32_t seed, int channel)
{
    constexpr uint64_t note = 19200;
    double sum = 0;
    for (uint64_t voice = 0; voice < 2; voice++) {
        uint64_t from = voice * note / 2;
        if (i < from)
            continue;
        uint64_t k = (i - from) / note;
        double u = static_cast<double>((i - from) % note) / note;
        uint64_t h = mix((uint64_t(seed) << 32) ^ (voice << 28) ^ k);
        double freq = 110.0 * std::pow(2.0, static_cast<double>(h % 36) / 12.0);
        double loud = 2500.0 + static_cast<double>((h >> 8) % 2500);
        double t = static_cast<double>(i) / 48000.0, env = std::sin(M_PI * u);
        double partial = channel ? 0.45 : 0.25;  // the right side carries more of the octave
        sum += loud * env * env * (std::sin(2.0 * M_PI * freq * t) + partial * std::sin(4.0 * M_PI * freq * t));
    }
    return sum;
}

}  // namespace

namespace {

// One pair of channels of frame `i` at 16-bit loudness times `scale`, its noise drawn from `rng`.
void pair_at(uint64_t i, uint32_t seed, bool dithered, SoundKind kind, double scale, Rng& rng, int64_t* l, int64_t* r)
{
    double freq = 440.0 + 55.0 * (seed % 8);
    double t = static_cast<double>(i) / 48000.0;
    *l = 0, *r = 0;
    if (kind == SoundKind::tone) {
        *l = static_cast<int64_t>(8000.0 * scale * std::sin(2.0 * M_PI * freq * t));
        *r = static_cast<int64_t>(6000.0 * scale * std::sin(2.0 * M_PI * freq * 1.5 * t));
    } else if (kind == SoundKind::music) {
        *l = static_cast<int64_t>(scale * music_at(i, seed, 0));
        *r = static_cast<int64_t>(scale * music_at(i, seed, 1));
    }
    if ((kind == SoundKind::tone && dithered) || kind == SoundKind::music || kind == SoundKind::hiss) {
        uint64_t noise = rng.next();
        int64_t spread = static_cast<int64_t>(scale * (kind == SoundKind::hiss ? 12000 : kind == SoundKind::music ? 48 : 256));
        *l += static_cast<int64_t>(noise % spread) - spread / 2;
        *r += static_cast<int64_t>((noise >> (kind == SoundKind::tone ? 8 : 20)) % spread) - spread / 2;
    }
}

void put_sample(uint8_t* dst, int64_t v, uint32_t bytes)
{
    int64_t top = (int64_t(1) << (8 * bytes - 1)) - 1;
    uint32_t u = static_cast<uint32_t>(std::clamp(v, -top - 1, top));
    for (uint32_t k = 0; k < bytes; k++)
        dst[k] = static_cast<uint8_t>(u >> 8 * (bytes - 1 - k));
}

}  // namespace

void put_sound(uint8_t* dst, uint64_t first, uint64_t count, uint32_t seed, bool dithered, SoundKind kind,
               SoundFormat format)
{
    // 24-bit samples hear the same 256 times finer: their noise reaches into the low byte
    double scale = format.sample_bytes == 3 ? 256.0 : 1.0;
    // a dithered frame, and one of music or hiss, takes one draw of noise for each pair of channels;
    // the second pair (the handle's microphones) hears a scene and a noise of its own
    Rng rng[2] = {Rng::after(0x50C0D0ull + seed, first), Rng::after(0x50C0D1ull + seed * 7919ull, first)};
    uint32_t b = format.sample_bytes, pairs = (format.channels + 1) / 2;
    for (uint64_t i = first; i < first + count; i++, dst += format.frame_bytes())
        for (uint32_t p = 0; p < pairs && p < 2; p++) {
            int64_t l, r;
            pair_at(i, seed + 1013 * p, dithered, kind, scale, rng[p], &l, &r);
            put_sample(dst + 2 * p * b, l, b);
            if (2 * p + 1 < format.channels)
                put_sample(dst + (2 * p + 1) * b, r, b);
        }
}

Bytes make_sound(uint64_t pcm_frames, uint32_t seed, bool dithered, SoundKind kind, SoundFormat format)
{
    Bytes b(pcm_frames * format.frame_bytes());
    put_sound(b.data(), 0, pcm_frames, seed, dithered, kind, format);
    return b;
}

} // namespace mkcard

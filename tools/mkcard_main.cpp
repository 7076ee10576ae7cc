// mendora-mkcard: writes a sample card image of camera recordings with everything a test needs to
// judge a recovery of it.
#include "tools/mkcard_scenarios.h"
#include "tools/mkcard_truth.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace mkcard;

namespace {

const char* usage =
    "usage: mendora-mkcard --list\n"
    "       mendora-mkcard --scenario NAME --out DIR\n"
    "       mendora-mkcard --out DIR [--size-mib N] [--cluster-kib N] [--count N] [--frames N[,N...]] [--hevc]\n"
    "                      [--co64] [--mdat64] [--uuid N] [--tz H] [--partition] [--random-free] [--reformat]\n"
    "                      [--fragment N] [--gap N] [--moov64] [--time UNIX] [--seed N] [--truth-only]\n"
    "                      [--alternate N[:M]] (the first two recordings written at once, runs of N clusters,\n"
    "                      the second's of M) [--jitter-runs] (each run's length drawn from 1 to 2N-1)\n"
    "                      [--at-once N] (with --alternate: the first N recordings written at once, their\n"
    "                      runs in turn, the first's, the second's, ...; default 2)\n"
    "                      [--wrap N] (with --alternate: those two begin N clusters before the heap's end\n"
    "                      and go on at its first free cluster)\n"
    "                      [--file-tree live|deleted|deleted-fat-zeroed|deleted-tree|formatted]\n"
    "                      [--damage hole|moov-lost|truncated|power-loss|cut-media|cluster-hole]\n"
    "                      [--dithered-sound] [--sound tone|music|hiss|silence] [--twin-sets]\n"
    "                      [--timeless-kkad] (the damaged recordings' kkad boxes with their time\n"
    "                      field zero, as some firmware writes)\n"
    "                      [--edit-media-frames N] (a camera-like stream's edit list starts N frames in)\n"
    "                      (these two also for a --scenario card)\n"
    "                      [--fps 25|50|24000/1001|30000/1001|60000/1001] (also for a --scenario card;\n"
    "                      chunks of 12 frames, whose sound varies from chunk to chunk at 1001 rates)\n"
    "                      [--sound-format 16x2|24x2|24x4[,...]] (also for a --scenario card; a list gives\n"
    "                      the recordings their formats in turn)\n"
    "                      (damages the last recording; --frames N,M,... gives the recordings their frames in\n"
    "                      turn; --twin-sets gives every clip of a deleted tree a deleted twin set of another\n"
    "                      name over its clusters, modified earlier or later)\n"
    "       --video WxH[,WxH...], --video-mbps N[,N...] (default 256x144 at the encoder's own quality)\n"
    "       and --codec avc|hevc[,...] give the recordings their shapes in turn, as a main clip and the\n"
    "       proxy written beside it differ; these and --size-mib N apply to a --scenario card too;\n"
    "       --same-second begins the two recordings written at once in one second; --truth-only writes truth.json without the\n"
    "       copies of the recordings and the expected outputs (for a card the disk holds only once)\n"
    "       a camera-like stream, also for every recording of a --scenario card: --bframes N (B-frames\n"
    "       with the encoder's default pyramid, ctts and edit list in the movie box), --gop N (key frame\n"
    "       interval), --open-gop, --params-out-of-band (parameter sets in avcC/hvcC only)\n"
    "       the fs-* scenarios write the camera's file tree (PRIVATE/M4ROOT/CLIP/C0001.MP4, its\n"
    "       C0001M01.XML, THMBNL/C0001T01.JPG, MEDIAPRO.XML): fs-live as the camera left it; fs-deleted\n"
    "       as Linux deletes (InUse bits and bitmap cleared, FAT kept); fs-deleted-fat-zeroed with the\n"
    "       FAT chains zeroed too; fs-deleted-tree the whole PRIVATE folder deleted; fs-formatted\n"
    "       formatted again over it; fs-fragmented a deleted clip cut inside video chunks; fs-stale\n"
    "       an older deleted clip naming a newer one's first cluster; fs-slot-reuse orphan name\n"
    "       entries and a set cut short over older sets; fs-chain-faults deleted chains that loop or\n"
    "       run into another clip; fs-renamed a clip of a non-ASCII name; fs-name-clash a deleted and\n"
    "       a live clip of one name; fs-hostile-names deleted clips of names no output folder may take\n"
    "       as they stand; fs-many-files a clip folder of two clusters with a set across them.\n"
    "       --file-tree STATE gives any card the tree in that state\n"
    "       the two-at-once* scenarios hold two recordings written at once, their clusters alternating\n"
    "       in runs, and a third after them, the card quick-formatted (-fat-zeroed: the clips deleted,\n"
    "       their FAT chains zeroed); -long runs of 1 MiB, -short of 3 clusters, -moov-lost both movie\n"
    "       boxes lost, -bframes camera-like streams, -hevc HEVC, -look-alike the cluster behind the head\n"
    "       of each cut chunk of the first recording begins with the chunk's rest up to its next NAL\n"
    "       length field\n";

// Each recording's picture size, bit rate and codec, the k-th recording's from the k-th entry of
// each list given (round again when the card holds more): a proxy is written beside its main clip
// in a shape of its own.
struct Shapes {
    std::vector<VideoFormat> sizes;
    std::vector<uint32_t> mbps;
    std::vector<bool> hevc;
    void apply(uint32_t k, VideoFormat* v) const
    {
        if (!sizes.empty())
            v->width = sizes[k % sizes.size()].width, v->height = sizes[k % sizes.size()].height;
        if (!mbps.empty())
            v->mbps = mbps[k % mbps.size()];
        if (!hevc.empty())
            v->hevc = hevc[k % hevc.size()];
    }
};

struct Custom {
    uint32_t count = 2;
    std::vector<uint32_t> frames{48};
    bool dithered = false;
    SoundKind sound = SoundKind::tone;
    std::vector<SoundFormat> sound_formats{SoundFormat{}};
    bool sound_format_given = false;
    bool hevc = false, co64 = false, mdat64 = false;
    bool video_given = false;
    Shapes shapes;
    bool same_second = false;
    bool stream_given = false;
    bool coding_given = false;
    VideoFormat video;
    uint32_t uuid = 0;
    int tz = 0;
    uint32_t fragment = 1;
    uint32_t gap = 0;
    uint32_t alternate = 0;
    uint32_t second_runs = 0;
    bool jitter_runs = false;
    uint32_t wrap = 0;
    uint32_t at_once = 2;
    bool moov64 = false;
    int64_t time = 0;
    bool timeless_kkad = false;
    int32_t edit_media_frames = -1;
    Damage damage = Damage::none;
};

// The camera's file tree, for a custom card or instead of a scenario card's own state.
FsState file_tree_named(const std::string& name)
{
    if (name == "live") return FsState::live;
    if (name == "deleted") return FsState::deleted;
    if (name == "deleted-fat-zeroed") return FsState::deleted_fat_zeroed;
    if (name == "deleted-tree") return FsState::deleted_tree;
    if (name == "formatted") return FsState::formatted;
    die("unknown file tree state " + name);
}

Damage damage_named(const std::string& name)
{
    if (name == "hole") return Damage::hole;
    if (name == "moov-lost") return Damage::moov_lost;
    if (name == "truncated") return Damage::truncate;
    if (name == "power-loss") return Damage::power_loss;
    if (name == "cut-media") return Damage::cut_media;
    if (name == "cluster-hole") return Damage::cluster_hole;
    die("unknown damage " + name);
}

uint64_t number(int argc, char** argv, int* i)
{
    if (*i + 1 >= argc)
        die(std::string("missing value after ") + argv[*i]);
    char* end = nullptr;
    const char* text = argv[++*i];
    long long v = std::strtoll(text, &end, 10);
    if (!*text || *end)
        die(std::string("not a number: ") + text);
    return static_cast<uint64_t>(v);
}

// "3" or "5:2": the runs of the two recordings written at once, the second's after the colon.
void alternate_runs(int argc, char** argv, int* i, Custom* c)
{
    if (*i + 1 >= argc)
        die(std::string("missing value after ") + argv[*i]);
    const char* text = argv[++*i];
    char* end = nullptr;
    unsigned long first = std::strtoul(text, &end, 10), second = 0;
    if (end != text && *end == ':') {
        const char* at = end + 1;
        second = std::strtoul(at, &end, 10);
        if (end == at || second == 0)
            end = const_cast<char*>(text);
    }
    if (end == text || *end || first == 0 || first > 1000000 || second > 1000000)
        die(std::string("not a run length, or two: ") + text);
    c->alternate = static_cast<uint32_t>(first);
    c->second_runs = static_cast<uint32_t>(second);
}

// "25" or "30000/1001": a frame rate a camera records at.
void frame_rate(const std::string& text, uint32_t* num, uint32_t* den)
{
    static const char* const rates[][3] = {{"25", "25", "1"},          {"50", "50", "1"},
                                           {"24000/1001", "24000", "1001"}, {"30000/1001", "30000", "1001"},
                                           {"60000/1001", "60000", "1001"}};
    for (const auto& r : rates)
        if (text == r[0]) {
            *num = static_cast<uint32_t>(std::atoi(r[1]));
            *den = static_cast<uint32_t>(std::atoi(r[2]));
            return;
        }
    die("--fps takes 25, 50, 24000/1001, 30000/1001 or 60000/1001, not " + text);
}

SoundFormat sound_format(const std::string& name)
{
    if (name == "16x2")
        return SoundFormat{2, 2};
    if (name == "24x2")
        return SoundFormat{3, 2};
    if (name == "24x4")
        return SoundFormat{3, 4};
    die("--sound-format takes 16x2, 24x2 or 24x4, not " + name);
}

PixelFormat pixel_format(const std::string& name)
{
    if (name == "420")
        return PixelFormat::yuv420;
    if (name == "420p10")
        return PixelFormat::yuv420p10;
    if (name == "422p10")
        return PixelFormat::yuv422p10;
    die("--pix-fmt takes 420, 420p10 or 422p10, not " + name);
}

SoundKind sound_kind(const std::string& name)
{
    if (name == "tone")
        return SoundKind::tone;
    if (name == "music")
        return SoundKind::music;
    if (name == "hiss")
        return SoundKind::hiss;
    if (name == "silence")
        return SoundKind::silence;
    die("--sound takes tone, music, hiss or silence, not " + name);
}

// The comma-separated items of the option's value: "48,72,48", "1920x1080,640x360", "hevc,avc".
std::vector<std::string> list_items(int argc, char** argv, int* i)
{
    if (*i + 1 >= argc)
        die(std::string("missing value after ") + argv[*i]);
    std::vector<std::string> out;
    std::string text = argv[++*i];
    for (size_t at = 0;;) {
        size_t comma = text.find(',', at);
        out.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos)
            return out;
        at = comma + 1;
    }
}

// A whole number from 1 to `limit`, or 0 when `text` is not one.
uint32_t count_item(const std::string& text, unsigned long limit)
{
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    return text.empty() || *end || text[0] == '-' || v > limit ? 0 : static_cast<uint32_t>(v);
}

// "48" or "48,72,48": the frames of each recording in turn.
std::vector<uint32_t> frame_counts(int argc, char** argv, int* i)
{
    std::vector<uint32_t> out;
    for (const std::string& item : list_items(argc, argv, i)) {
        out.push_back(count_item(item, 10000000));
        if (!out.back())
            die(std::string("not a frame count list: ") + argv[*i]);
    }
    return out;
}

// "50" or "50,3": the video bit rate of each recording in turn.
std::vector<uint32_t> bit_rates(int argc, char** argv, int* i)
{
    std::vector<uint32_t> out;
    for (const std::string& item : list_items(argc, argv, i)) {
        out.push_back(count_item(item, 100000));
        if (!out.back() && item != "0")
            die(std::string("not a bit rate list in Mbit/s: ") + argv[*i]);
    }
    return out;
}

// "24x4" or "24x4,16x2": the sound format of each recording in turn.
std::vector<SoundFormat> sound_formats(int argc, char** argv, int* i)
{
    std::vector<SoundFormat> out;
    for (const std::string& item : list_items(argc, argv, i))
        out.push_back(sound_format(item));
    return out;
}

// "hevc" or "hevc,avc": the codec of each recording in turn.
std::vector<bool> codecs(int argc, char** argv, int* i)
{
    std::vector<bool> out;
    for (const std::string& item : list_items(argc, argv, i)) {
        if (item != "avc" && item != "hevc")
            die(std::string("--codec takes avc or hevc, or a list of them: ") + argv[*i]);
        out.push_back(item == "hevc");
    }
    return out;
}

// "1920x1080" or "1920x1080,640x360": a picture size in whole, even pixels, as the encoder needs
// for 4:2:0, of each recording in turn.
std::vector<VideoFormat> picture_sizes(int argc, char** argv, int* i)
{
    std::vector<VideoFormat> out;
    for (const std::string& item : list_items(argc, argv, i)) {
        unsigned w = 0, h = 0;
        char tail = 0;
        if (std::sscanf(item.c_str(), "%ux%u%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 8192 ||
            h > 8192 || w % 2 || h % 2)
            die(std::string("not a picture size WxH: ") + item);
        VideoFormat f;
        f.width = w;
        f.height = h;
        out.push_back(f);
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    std::string scenario, out;
    CardPlan plan;
    Custom c;
    uint32_t size_mib = 0;
    bool copies = true;
    FsState file_tree = FsState::none;
    uint32_t rate_num = 25, rate_den = 1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--list") {
            for (const std::string& n : scenario_names())
                std::printf("%s\n", n.c_str());
            return 0;
        }
        if (a == "--scenario" && i + 1 < argc) scenario = argv[++i];
        else if (a == "--out" && i + 1 < argc) out = argv[++i];
        else if (a == "--size-mib") size_mib = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--cluster-kib") plan.cluster_kib = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--seed") plan.seed = number(argc, argv, &i);
        else if (a == "--partition") plan.partition = true;
        else if (a == "--random-free") plan.random_free = true;
        else if (a == "--reformat") plan.reformat = true;
        else if (a == "--truth-only") copies = false;
        else if (a == "--count") c.count = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--frames") c.frames = frame_counts(argc, argv, &i);
        else if (a == "--dithered-sound") c.dithered = true;
        else if (a == "--sound" && i + 1 < argc) c.sound = sound_kind(argv[++i]);
        else if (a == "--sound-format") c.sound_formats = sound_formats(argc, argv, &i), c.sound_format_given = true;
        else if (a == "--twin-sets") plan.fs.twin_sets = true;
        else if (a == "--fps" && i + 1 < argc) frame_rate(argv[++i], &rate_num, &rate_den);
        else if (a == "--hevc") c.hevc = true;
        else if (a == "--pix-fmt" && i + 1 < argc) c.video.pixels = pixel_format(argv[++i]), c.coding_given = true;
        else if (a == "--slices") c.video.slices = static_cast<uint32_t>(number(argc, argv, &i)), c.coding_given = true;
        else if (a == "--video") c.shapes.sizes = picture_sizes(argc, argv, &i), c.video_given = true;
        else if (a == "--video-mbps") c.shapes.mbps = bit_rates(argc, argv, &i), c.video_given = true;
        else if (a == "--codec") c.shapes.hevc = codecs(argc, argv, &i);
        else if (a == "--same-second") c.same_second = true;
        else if (a == "--bframes")
            c.video.bframes = static_cast<uint32_t>(number(argc, argv, &i)), c.stream_given = true;
        else if (a == "--gop") c.video.gop = static_cast<uint32_t>(number(argc, argv, &i)), c.stream_given = true;
        else if (a == "--open-gop") c.video.open_gop = true, c.stream_given = true;
        else if (a == "--params-out-of-band") c.video.params_out_of_band = true, c.stream_given = true;
        else if (a == "--co64") c.co64 = true;
        else if (a == "--mdat64") c.mdat64 = true;
        else if (a == "--uuid") c.uuid = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--tz") c.tz = static_cast<int>(number(argc, argv, &i));
        else if (a == "--fragment") c.fragment = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--alternate") alternate_runs(argc, argv, &i, &c);
        else if (a == "--jitter-runs") c.jitter_runs = true;
        else if (a == "--timeless-kkad") c.timeless_kkad = true;
        else if (a == "--edit-media-frames") c.edit_media_frames = static_cast<int32_t>(number(argc, argv, &i));
        else if (a == "--wrap") c.wrap = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--at-once") c.at_once = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--gap") c.gap = static_cast<uint32_t>(number(argc, argv, &i));
        else if (a == "--moov64") c.moov64 = true;
        else if (a == "--time") c.time = static_cast<int64_t>(number(argc, argv, &i));
        else if (a == "--damage" && i + 1 < argc) c.damage = damage_named(argv[++i]);
        else if (a == "--file-tree" && i + 1 < argc) file_tree = file_tree_named(argv[++i]);
        else {
            std::fputs(usage, stderr);
            return 1;
        }
    }
    if (out.empty()) {
        std::fputs(usage, stderr);
        return 1;
    }
    if (!scenario.empty()) {
        uint64_t seed = plan.seed;
        if (!scenario_plan(scenario, &plan))
            die("unknown scenario " + scenario + " (see --list)");
        if (seed != 1)
            plan.seed = seed;
        for (CardRecording& r : plan.recordings) {
            VideoFormat& v = r.plan.video;
            if (c.video_given) {
                const VideoFormat plain;
                v.width = plain.width, v.height = plain.height, v.mbps = plain.mbps;
            }
            c.shapes.apply(static_cast<uint32_t>(&r - plan.recordings.data()), &v);
            if (c.coding_given)
                v.pixels = c.video.pixels, v.slices = c.video.slices;
            r.plan.timeless_kkad = c.timeless_kkad && r.damage != Damage::none;
            r.plan.edit_media_frames = c.edit_media_frames;
            if (c.sound_format_given)
                r.plan.sound_format = c.sound_formats[size_t(&r - plan.recordings.data()) % c.sound_formats.size()];
            if (c.stream_given) {
                v.bframes = c.video.bframes;
                v.gop = c.video.gop;
                v.open_gop = c.video.open_gop;
                v.params_out_of_band = c.video.params_out_of_band;
            }
        }
    } else {
        scenario = "custom";
        for (uint32_t k = 0; k < c.count; k++) {
            CardRecording r = plain_recording(k, c.frames[k % c.frames.size()]);
            r.plan.dithered_sound = c.dithered;
            r.plan.sound = c.sound;
            r.plan.sound_format = c.sound_formats[k % c.sound_formats.size()];
            r.plan.video = c.video;
            r.plan.video.hevc = c.hevc;
            c.shapes.apply(k, &r.plan.video);
            r.plan.co64 = c.co64;
            r.plan.mdat64 = c.mdat64;
            r.plan.uuid_boxes = c.uuid;
            r.plan.tz_hours = c.tz;
            r.plan.moov64 = c.moov64;
            r.plan.edit_media_frames = c.edit_media_frames;
            if (c.time)
                r.plan.utc_unix = c.time + 137 * static_cast<int64_t>(k);
            r.placement.extents = c.fragment;
            r.placement.gap_clusters = c.gap;
            plan.recordings.push_back(r);
        }
        if (!plan.recordings.empty()) {
            plan.recordings.back().damage = c.damage;
            plan.recordings.back().plan.timeless_kkad = c.timeless_kkad;
            plan.recordings[0].placement.alternate_runs = c.alternate;
            plan.recordings[0].placement.second_runs = c.second_runs;
            plan.recordings[0].placement.jitter_seed = c.jitter_runs ? plan.seed * 0x2545F4914F6CDD1Dull | 1 : 0;
            plan.recordings[0].placement.wrap_clusters = c.wrap;
            if (c.at_once < 2 || (c.at_once > 2 && c.at_once > plan.recordings.size()))
                die("--at-once wants 2 up to the recordings' count");
            plan.recordings[0].placement.at_once = c.at_once;
            if (c.same_second && plan.recordings.size() > 1)
                plan.recordings[1].plan.utc_unix = plan.recordings[0].plan.utc_unix;
        }
    }
    for (CardRecording& r : plan.recordings)
        r.plan.video.rate_num = rate_num, r.plan.video.rate_den = rate_den;
    if (size_mib)
        plan.size_mib = size_mib;
    if (file_tree != FsState::none) {
        plan.fs.state = file_tree;
        plan.reformat = plan.reformat || file_tree == FsState::formatted;
    }
    if (!run_command("mkdir -p '" + out + "'"))
        die("cannot create " + out);
    plan.hold_recordings = false;
    Card card;
    make_card(plan, out + "/card.img", out, &card);
    write_truth(card, out, scenario, copies);
    std::printf("%s/card.img: %zu recordings, %llu bytes\n", out.c_str(), card.placed.size(),
                (unsigned long long)card.image_size);
    return 0;
}

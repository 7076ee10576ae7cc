#include "tools/mkcard_scenarios.h"

namespace mkcard {

namespace {

constexpr int64_t base_time = 1715941230;  // 2024-05-17 10:20:30 UTC

CardPlan with_recordings(std::initializer_list<uint32_t> frames)
{
    CardPlan s;
    uint32_t i = 0;
    for (uint32_t f : frames)
        s.recordings.push_back(plain_recording(i++, f));
    return s;
}

// The cards salvage is judged on: recording `which` suffers `damage`; the sound is dithered so
// that a test can tell where every piece of it came from.
CardPlan salvage_card(std::initializer_list<uint32_t> frames, size_t which, Damage damage)
{
    CardPlan s = with_recordings(frames);
    for (CardRecording& r : s.recordings)
        r.plan.dithered_sound = true;
    s.recordings[which].damage = damage;
    return s;
}

// Every recording of the card in one camera-like stream: B-frames in the encoder's default pyramid,
// key frames every `gop` frames, across the 12-sample chunks.
CardPlan streams(CardPlan s, bool hevc, uint32_t gop, bool open_gop, bool out_of_band)
{
    for (CardRecording& r : s.recordings) {
        VideoFormat& v = r.plan.video;
        v.hevc = hevc;
        v.bframes = 3;
        v.gop = gop;
        v.open_gop = open_gop;
        v.params_out_of_band = out_of_band;
    }
    return s;
}

// The salvage cards again on camera-like streams; NAME ends in -hevc for HEVC, else AVC.
CardPlan camera_card(const std::string& name)
{
    bool hevc = name.size() > 5 && name.compare(name.size() - 5, 5, "-hevc") == 0;
    std::string base = hevc ? name.substr(0, name.size() - 5) : name;
    if (base == "power-loss-bframes")
        return streams(salvage_card({48, 72, 48}, 1, Damage::power_loss), hevc, hevc ? 24 : 15, false, false);
    if (base == "power-loss-open-gop")
        return streams(salvage_card({48, 84, 48}, 1, Damage::power_loss), hevc, hevc ? 24 : 30, true, false);
    if (base == "moov-lost-bframes-oob")
        // the lost recording takes its parameter sets from the movie boxes of the others
        return streams(salvage_card({48, 60, 36}, 1, Damage::moov_lost), hevc, 15, false, true);
    if (base == "moov-lost-alone-bframes") {
        CardPlan s = streams(salvage_card({48, 60}, 1, Damage::moov_lost), hevc, 24, false, false);
        s.recordings[0].plan.video.hevc = !hevc;
        return s;
    }
    if (base == "hole-clusters-bframes-oob")
        return streams(salvage_card({48, 96, 48}, 1, Damage::cluster_hole), hevc, hevc ? 30 : 24, false, true);
    if (base == "hole-clusters-open-gop") {
        // the leading pictures of the key frame after the hole refer to the group it broke; AVC
        // samples of a few kilobytes, so that the hole takes more than the tail of one B-frame
        CardPlan s = streams(salvage_card({48, 96, 48}, 1, Damage::cluster_hole), hevc, hevc ? 30 : 24, true, false);
        for (CardRecording& r : s.recordings)
            r.plan.video.mbps = hevc ? 0 : 2;
        return s;
    }
    if (base == "cut-bframes-oob")
        return streams(salvage_card({48, 60, 72}, 2, Damage::cut_media), hevc, 15, false, true);
    if (base == "bframes") {
        // the documented rules keep every reordered stream whole, with its movie box
        CardPlan s = with_recordings({48, 60, 72, 36});
        s.recordings[0].plan.video = VideoFormat{false, 256, 144, 0, 3, 15, false, false};
        s.recordings[1].plan.video = VideoFormat{true, 256, 144, 0, 3, 24, false, true};
        s.recordings[2].plan.video = VideoFormat{false, 256, 144, 0, 2, 30, true, true};
        s.recordings[3].plan.video = VideoFormat{true, 256, 144, 0, 4, 12, true, false};
        return s;
    }
    return CardPlan{};
}

// Two recordings written at once, their clusters alternating in runs (a camera writing a second
// stream beside the main clip), a third after them, the card quick-formatted over them: every run
// boundary inside a chunk cuts it. NAME: two-at-once[-long|-short][-moov-lost][-bframes][-hevc]
// [-fat-zeroed][-look-alike] (runs of 1 MiB or of three clusters; both movie boxes lost;
// camera-like streams; HEVC; the clips deleted and their FAT chains zeroed instead of the format;
// behind the head of each cut chunk of the first recording, its rest up to its next NAL length).
CardPlan two_at_once_card(std::string name)
{
    auto option = [&name](const std::string& o) {
        size_t at = name.find(o);
        if (at == std::string::npos)
            return false;
        name.erase(at, o.size());
        return true;
    };
    bool long_runs = option("-long"), short_runs = option("-short"), lost = option("-moov-lost");
    bool bframes = option("-bframes");
    bool hevc = option("-hevc"), fat_zeroed = option("-fat-zeroed"), look_alike = option("-look-alike");
    if (name != "two-at-once")
        return CardPlan{};
    CardPlan s = salvage_card({96, 84, 48}, 2, Damage::none);
    if (bframes)
        s = streams(s, hevc, 24, false, false);
    for (CardRecording& r : s.recordings)
        r.plan.video.hevc = hevc;
    s.random_free = true;
    s.seed = 31;
    // runs of about two chunks of video and sound; of three clusters; of 1 MiB
    s.recordings[0].placement.alternate_runs = long_runs ? 8 : short_runs ? 3 : bframes ? 6 : 11;
    s.cluster_kib = long_runs ? 128 : 32;
    if (long_runs)
        s.recordings[0].plan.frames = s.recordings[1].plan.frames = 480, s.size_mib = 64;
    if (lost)
        s.recordings[0].damage = s.recordings[1].damage = Damage::moov_lost;
    s.look_alike = look_alike;
    if (fat_zeroed)
        s.fs.state = FsState::deleted_fat_zeroed;
    else
        s.reformat = true;
    return s;
}

// The cards of a camera's file tree: three recordings, the middle one in three extents with a FAT
// chain, the others contiguous (NoFatChain), each with its sidecar and thumbnail.
CardPlan tree_card(FsState state)
{
    CardPlan s = with_recordings({48, 60, 72});
    s.random_free = true;
    s.seed = 21;
    s.fs.state = state;
    s.recordings[1].placement.extents = 3;
    s.recordings[2].placement.gap_clusters = 2;
    for (CardRecording& r : s.recordings)
        r.plan.tz_hours = 9;
    return s;
}

CardPlan file_tree_card(const std::string& name)
{
    if (name == "fs-live")
        return tree_card(FsState::live);
    if (name == "fs-deleted")
        return tree_card(FsState::deleted);
    if (name == "fs-deleted-fat-zeroed")
        return tree_card(FsState::deleted_fat_zeroed);
    if (name == "fs-deleted-tree")
        return tree_card(FsState::deleted_tree);
    if (name == "fs-formatted") {
        CardPlan s = tree_card(FsState::formatted);
        s.reformat = true;
        return s;
    }
    if (name == "fs-fragmented") {
        // fragment boundaries inside video chunks: only the FAT chain puts the chunk together
        CardPlan s = with_recordings({48, 96, 48});
        s.cluster_kib = 8;
        s.random_free = true;
        s.seed = 23;
        s.fs.state = FsState::deleted;
        s.recordings[1].placement = Placement{1, 3, true};
        return s;
    }
    if (name == "fs-stale") {
        CardPlan s = with_recordings({48, 60, 48});
        s.fs.state = FsState::deleted;
        s.fs.stale_first_cluster = 1;
        return s;
    }
    if (name == "fs-slot-reuse") {
        CardPlan s = with_recordings({48, 60, 48});
        s.fs.state = FsState::deleted;
        s.fs.slot_reuse = 1;
        s.fs.torn_set = 2;
        return s;
    }
    if (name == "fs-chain-faults") {
        CardPlan s = with_recordings({48, 72, 72, 48});
        s.random_free = true;
        s.seed = 25;
        s.fs.state = FsState::deleted;
        s.recordings[1].placement.extents = 3;
        s.recordings[1].chain_fault = ChainFault::loop;
        s.recordings[2].placement.extents = 3;
        s.recordings[2].chain_fault = ChainFault::into_other;
        return s;
    }
    if (name == "fs-renamed") {
        CardPlan s = with_recordings({48, 60});
        s.fs.state = FsState::live;
        s.recordings[1].file_name = "Été à Zürich – Ωμέγα ß.MP4";
        for (CardRecording& r : s.recordings)
            r.plan.tz_hours = -5;
        return s;
    }
    if (name == "fs-name-clash") {
        // the first clip deleted, the camera's file number reset: the next clip's files take
        // the same names
        CardPlan s = with_recordings({48, 60});
        s.fs.state = FsState::live;
        s.fs.counter_reset = 1;
        s.recordings[0].file_deleted = true;
        return s;
    }
    if (name == "fs-hostile-names") {
        // names no output folder may take as they stand: folder separators and parents, a drive,
        // a device name, control characters, a trailing dot and space, a lone surrogate (written
        // here as its three UTF-8-like bytes)
        static const char* const names[] = {"../../escape.MP4", "..\\..\\back.MP4", "C:clip.MP4", "COM1.MP4",
                                            "tab\tbell\x07.MP4", "C0006.MP4. ", "C\xED\xA0\x80\x30\x30\x30\x37.MP4", ".."};
        CardPlan s = with_recordings({24, 24, 24, 24, 24, 24, 24, 24});
        s.fs.state = FsState::deleted;
        for (size_t i = 0; i < s.recordings.size(); i++)
            s.recordings[i].file_name = names[i];
        return s;
    }
    if (name == "fs-many-files") {
        // 22 clips of 6 entries each fill more than the 128 entries of the clip folder's first
        // cluster; the 22nd clip's set starts in it and ends in the next
        std::vector<uint32_t> frames(22, 24);
        CardPlan s;
        for (uint32_t i = 0; i < frames.size(); i++)
            s.recordings.push_back(plain_recording(i, frames[i]));
        s.cluster_kib = 4;
        s.fs.state = FsState::live;
        return s;
    }
    return CardPlan{};
}

const char* const file_tree_cards[] = {"fs-live", "fs-deleted", "fs-deleted-fat-zeroed", "fs-deleted-tree", "fs-formatted",
                                       "fs-fragmented", "fs-stale", "fs-slot-reuse", "fs-chain-faults",
                                       "fs-renamed", "fs-name-clash", "fs-hostile-names", "fs-many-files"};

const char* const camera_cards[] = {"power-loss-bframes", "power-loss-open-gop", "moov-lost-bframes-oob",
                                    "moov-lost-alone-bframes", "hole-clusters-bframes-oob", "hole-clusters-open-gop",
                                    "cut-bframes-oob"};

// the cards of two recordings at once every test run makes; the others by name
const char* const two_at_once_cards[] = {"two-at-once", "two-at-once-long", "two-at-once-short",
                                         "two-at-once-moov-lost-bframes", "two-at-once-look-alike",
                                         "two-at-once-short-moov-lost"};

CardPlan make(const std::string& name)
{
    if (name == "sample")
        return with_recordings({48, 60, 72});
    if (name == "contiguous") {
        CardPlan s = with_recordings({36, 48, 60, 72});
        s.recordings[1].plan.co64 = true;
        s.recordings[2].plan.mdat64 = true;
        s.recordings[3].plan.uuid_boxes = 2;
        s.recordings[3].plan.moov64 = true;
        return s;
    }
    if (name == "reformatted") {
        CardPlan s = with_recordings({48, 72, 60});
        s.size_mib = 48;
        s.cluster_kib = 128;
        s.random_free = true;
        s.reformat = true;
        s.seed = 7;
        for (CardRecording& r : s.recordings)
            r.placement.gap_clusters = 3;
        return s;
    }
    if (name == "partition") {
        CardPlan s = with_recordings({48, 60, 36});
        s.partition = true;
        s.random_free = true;
        s.recordings[1].plan.uuid_boxes = 1;
        return s;
    }
    if (name == "moov-lost") {
        CardPlan s = with_recordings({48, 60, 48});
        s.recordings[1].damage = Damage::moov_lost;
        return s;
    }
    if (name == "hole") {
        CardPlan s = with_recordings({48, 72, 48});
        s.recordings[1].damage = Damage::hole;
        return s;
    }
    if (name == "fragmented") {
        CardPlan s = with_recordings({48, 96, 36});
        s.random_free = true;
        s.seed = 11;
        s.recordings[1].placement.extents = 3;
        s.recordings[2].placement.gap_clusters = 5;
        return s;
    }
    if (name == "hevc") {
        CardPlan s = with_recordings({48, 60, 48});
        s.recordings[1].plan.video.hevc = true;
        return s;
    }
    if (name == "truncated") {
        CardPlan s = with_recordings({48, 60, 48});
        s.recordings[2].damage = Damage::truncate;
        return s;
    }
    if (name == "power-loss")
        return salvage_card({48, 72, 48}, 1, Damage::power_loss);
    if (name == "moov-lost-alone") {
        // no other recording on the card has the lost one's codec
        CardPlan s = salvage_card({48, 60}, 1, Damage::moov_lost);
        s.recordings[0].plan.video.hevc = true;
        return s;
    }
    if (name == "hole-clusters")
        return salvage_card({48, 96, 48}, 1, Damage::cluster_hole);
    if (name == "hevc-cut") {
        CardPlan s = salvage_card({48, 60, 72}, 2, Damage::cut_media);
        s.recordings[1].plan.video.hevc = true;
        s.recordings[2].plan.video.hevc = true;
        return s;
    }
    if (name == "timezone") {
        CardPlan s = with_recordings({48, 36, 60});
        for (CardRecording& r : s.recordings)
            r.plan.tz_hours = 9;
        // 16:00 UTC is already the next day on the camera's clock
        s.recordings[2].plan.utc_unix = base_time + 5 * 3600 + 40 * 60;
        return s;
    }
    if (name == "video-1080p" || name == "video-2160p") {
        // camera-sized samples at the camera's rates; the longer recording repeats its encoded
        // groups, as every long recording on a generated card does
        bool uhd = name == "video-2160p";
        CardPlan s = uhd ? with_recordings({36, 24}) : with_recordings({48, 36});
        s.size_mib = 48;
        s.random_free = true;
        for (CardRecording& r : s.recordings)
            r.plan.video = VideoFormat{false, uhd ? 3840u : 1920u, uhd ? 2160u : 1080u, uhd ? 100u : 50u};
        return s;
    }
    if (name.compare(0, 3, "fs-") == 0)
        return file_tree_card(name);
    if (name.compare(0, 11, "two-at-once") == 0)
        return two_at_once_card(name);
    return camera_card(name);
}

} // namespace

std::vector<std::string> scenario_names()
{
    std::vector<std::string> names = {"sample", "contiguous", "reformatted", "partition", "moov-lost",
            "hole", "fragmented", "hevc", "truncated", "timezone", "video-1080p", "video-2160p",
            "power-loss", "moov-lost-alone", "hole-clusters", "hevc-cut"};
    names.push_back("bframes");
    for (const char* n : camera_cards) {
        names.push_back(n);
        names.push_back(std::string(n) + "-hevc");
    }
    for (const char* n : file_tree_cards)
        names.push_back(n);
    for (const char* n : two_at_once_cards)
        names.push_back(n);
    return names;
}

int scenario_plan(const std::string& name, CardPlan* out)
{
    if (name.compare(0, 11, "two-at-once") == 0) {
        *out = two_at_once_card(name);
        return !out->recordings.empty();
    }
    for (const std::string& n : scenario_names())
        if (n == name) {
            *out = make(name);
            return 1;
        }
    return 0;
}

CardRecording plain_recording(uint32_t index, uint32_t frames)
{
    CardRecording r;
    r.name = "rec" + std::to_string(index + 1);
    r.plan.frames = frames;
    r.plan.utc_unix = base_time + 137 * static_cast<int64_t>(index);
    r.plan.seed = index + 1;
    return r;
}

} // namespace mkcard

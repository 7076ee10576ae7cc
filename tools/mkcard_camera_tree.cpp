#include "tools/mkcard_camera_tree.h"

#include <cstdio>

namespace mkcard {

namespace {

// A name of 41 UTF-16 units (three name entries) with letters the up-case table maps.
const char* const renamed_long = "Sommerferie på Ærø – Ωμέγα клип №2 (ß).MP4";
constexpr uint32_t folders_behind_root = 15;

std::vector<uint32_t> recording_clusters(const Card& card, const FsTree& fs, const PlacedRecording& p)
{
    std::vector<uint32_t> c;
    for (uint64_t at : p.cluster_image_offset)
        c.push_back(static_cast<uint32_t>((at - card.volume_offset - fs.volume.heap_offset) / fs.volume.cluster_bytes + 2));
    return c;
}

// The camera stamps a clip at its start and end, to 10 ms, in its own time zone.
EntryTime clip_created(const RecordingPlan& p)
{
    return EntryTime{p.utc_unix, (p.seed * 37 + 11) % 100, p.tz_hours * 60};
}

EntryTime clip_modified(const RecordingPlan& p)
{
    return EntryTime{p.utc_unix + static_cast<int64_t>(duration_ms(p) / 1000) + 1, (p.seed * 53 + 7) % 100, p.tz_hours * 60};
}

std::string clip_base(uint32_t number)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "C%04u", number);
    return buf;
}

std::string path_in(const CameraTree& t, size_t dir, const std::string& name)
{
    return t.fs.entries[t.fs.dirs[dir].entry].path + "/" + name;
}

FsEntry file_entry(const CameraTree& t, size_t dir, const std::string& name, const char* kind, int recording,
                   const EntryTime& created, const EntryTime& modified, uint64_t size,
                   const std::vector<uint32_t>& clusters)
{
    FsEntry e;
    e.path = path_in(t, dir, name);
    e.kind = kind;
    e.recording = recording;
    e.fields.name = utf16_of(name);
    e.fields.created = created;
    e.fields.modified = modified;
    e.fields.data_length = e.fields.valid_data_length = size;
    e.fields.first_cluster = clusters.empty() ? 0 : clusters[0];
    e.runs = runs_of(clusters);
    e.fields.no_fat_chain = e.runs.size() == 1;
    e.fat = e.fields.no_fat_chain ? "none" : "chain";
    return e;
}

// A small file in clusters of its own, from the folders' reserve or where the camera writes next.
size_t add_small_file(CameraTree& t, size_t dir, const std::string& name, const char* kind, int recording,
                      Bytes content, const EntryTime& created, const EntryTime& modified, bool reserved)
{
    uint64_t cs = t.fs.volume.cluster_bytes;
    std::vector<uint32_t> clusters;
    for (uint64_t n = 0; n < std::max<uint64_t>(1, (content.size() + cs - 1) / cs); n++)
        clusters.push_back(reserved ? t.reserved_next++ : t.fs.allocate());
    FsEntry e = file_entry(t, dir, name, kind, recording, created, modified, content.size(), clusters);
    e.content = std::move(content);
    return add_entry(t.fs, dir, std::move(e));
}

// An older clip, deleted before the card's history went on: its set names clusters newer files
// hold now, so nothing may be read through it.
size_t add_stale_clip(CameraTree& t, const std::string& name, const EntryTime& when, uint32_t first_cluster,
                      uint64_t size)
{
    uint64_t cs = t.fs.volume.cluster_bytes;
    std::vector<uint32_t> clusters;
    for (uint64_t n = 0; n < (size + cs - 1) / cs; n++)
        clusters.push_back(static_cast<uint32_t>(first_cluster + n));
    FsEntry e = file_entry(t, t.clip_dir, name, "stale", -1, when, when, size, clusters);
    e.in_use = false;
    e.fat_chain_written = false;
    e.trusted = false;
    return add_entry(t.fs, t.clip_dir, std::move(e));
}

// A deleted set of another name over the clip's own clusters and size, as a copy the camera's
// owner renamed or deleted leaves: its extent gives the clip's bytes too, and of two deleted sets
// that both check out the newer one is the file. Its time and its place before or after the clip's
// set follow from the card's seed.
uint64_t twin_draw(const CardPlan& plan, size_t k)
{
    uint64_t z = plan.seed * 0x9E3779B97F4A7C15ull + k + 1;  // splitmix64
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void add_twin_set(CameraTree& t, const CardPlan& plan, const FsEntry& clip, size_t k)
{
    uint64_t h = twin_draw(plan, k);
    int64_t shift = int64_t(60 + (h >> 8) % 7200) * ((h >> 4) & 1 ? 1 : -1);
    FsEntry e = clip;
    e.path = path_in(t, t.clip_dir, clip_base(++t.clip_counter) + ".MP4");
    e.kind = "twin";
    e.fields.name = utf16_of(clip_base(t.clip_counter) + ".MP4");
    e.fields.created.utc_unix += shift;
    e.fields.modified.utc_unix += shift;
    e.in_use = false;
    e.fat_chain_written = false;  // the clip's own chain is the twin's
    add_entry(t.fs, t.clip_dir, std::move(e));
}

void fault_chain(CameraTree& t, const Card& card, size_t clip_entry, ChainFault fault, size_t k)
{
    FsEntry& e = t.fs.entries[clip_entry];
    if (e.runs.size() < 2)
        die("a broken FAT chain needs a fragmented recording");
    uint32_t end_of_first_run = e.runs[0].first + e.runs[0].count - 1;
    if (fault == ChainFault::loop) {
        t.fs.fat_overrides.emplace_back(end_of_first_run, e.runs[0].first);
        e.fat = "loop";
    } else {
        const PlacedRecording& other = card.placed[(k + 1) % card.placed.size()];
        std::vector<uint32_t> theirs = recording_clusters(card, t.fs, other);
        if (&other == &card.placed[k])
            die("a chain that runs into another recording needs two recordings");
        t.fs.fat_overrides.emplace_back(end_of_first_run, theirs[theirs.size() / 2]);
        e.fat = "into-other";
    }
    e.trusted = false;
}

} // namespace

CameraTree begin_camera_tree(int fd, const CardPlan& plan, std::function<uint32_t()> allocate)
{
    CameraTree t;
    t.fs = open_tree(fd);
    t.fs.allocate = std::move(allocate);
    t.reserved_next = t.fs.volume.root_cluster + 1;
    // the camera formatted the card an hour before its first clip
    const RecordingPlan& first = plan.recordings.at(0).plan;
    t.folder_time = EntryTime{first.utc_unix - 3600, 0, first.tz_hours * 60};
    size_t priv = add_directory(t.fs, 0, "PRIVATE", t.folder_time, t.reserved_next++);
    t.m4root = add_directory(t.fs, priv, "M4ROOT", t.folder_time, t.reserved_next++);
    t.clip_dir = add_directory(t.fs, t.m4root, "CLIP", t.folder_time, t.reserved_next++);
    t.thumb_dir = add_directory(t.fs, t.m4root, "THMBNL", t.folder_time, t.reserved_next++);
    return t;
}

void add_clip_files(CameraTree& t, const CardPlan& plan, const Card& card, size_t k)
{
    const PlacedRecording& p = card.placed[k];
    const RecordingPlan& rp = p.rec.plan;
    std::vector<uint32_t> clusters = recording_clusters(card, t.fs, p);
    uint64_t cs = t.fs.volume.cluster_bytes;
    EntryTime earlier{rp.utc_unix - 900, 50, rp.tz_hours * 60};
    size_t slot = SIZE_MAX;
    uint32_t written = 0;
    if (plan.fs.stale_first_cluster == int(k))
        add_stale_clip(t, clip_base(++t.clip_counter) + ".MP4", earlier, clusters[0], p.rec.file_size + 5 * cs + 1234);
    if (plan.fs.slot_reuse == int(k)) {
        // the newer set takes the first slots of a deleted one of a longer name: its last name
        // entries stay behind, orphans
        size_t old = add_stale_clip(t, renamed_long, earlier, clusters[0] + 2, 4 * cs);
        t.fs.entries[old].set_intact = false;
        slot = t.fs.entries[old].slot;
    }
    if (plan.fs.torn_set == int(k)) {
        // the newer set's file entry was written, its stream and name entries were not
        size_t old = add_stale_clip(t, clip_base(++t.clip_counter) + ".MP4", earlier, clusters[0] + 1, 3 * cs);
        t.fs.entries[old].set_intact = false;
        slot = t.fs.entries[old].slot;
        written = 1;
    }
    if (plan.fs.counter_reset == int(k))
        t.clip_counter = 0;
    std::string base = clip_base(++t.clip_counter);
    std::string name = p.what.file_name.empty() ? base + ".MP4" : p.what.file_name;
    FsEntry e = file_entry(t, t.clip_dir, name, "clip", int(k), clip_created(rp), clip_modified(rp), p.rec.file_size,
                           clusters);
    e.entries_written = written;
    e.set_intact = written == 0;
    // damage leaves the extent right but no longer the camera's file
    e.trusted = p.what.damage == Damage::none;
    bool twin_first = plan.fs.twin_sets && (twin_draw(plan, k) & 1);
    if (twin_first)
        add_twin_set(t, plan, e, k);
    size_t clip = add_entry(t.fs, t.clip_dir, e, slot);
    if (plan.fs.twin_sets && !twin_first)
        add_twin_set(t, plan, e, k);
    if (p.what.chain_fault != ChainFault::none)
        fault_chain(t, card, clip, p.what.chain_fault, k);
    add_small_file(t, t.clip_dir, base + "M01.XML", "sidecar", int(k), clip_metadata_xml(p.rec, base), clip_created(rp),
                   clip_modified(rp), false);
    add_small_file(t, t.thumb_dir, base + "T01.JPG", "thumbnail", int(k), clip_thumbnail(rp), clip_modified(rp),
                   clip_modified(rp), false);
    t.clips.emplace_back(base, k);
}

void finish_camera_tree(CameraTree& t, const CardPlan& plan, Card* card, int fd)
{
    std::vector<IndexedClip> index;
    for (const auto& [base, k] : t.clips)
        index.push_back(IndexedClip{base, &card->placed[k].rec});
    EntryTime last = t.folder_time;
    if (!t.clips.empty())
        last = clip_modified(card->placed[t.clips.back().second].rec.plan);
    add_small_file(t, t.m4root, "MEDIAPRO.XML", "index", -1, media_index_xml(index), t.folder_time, last, true);
    if (t.reserved_next > t.fs.volume.root_cluster + 1 + folders_behind_root)
        die("the camera's folders do not fit behind the root directory");
    FsState state = plan.fs.state;
    bool deleted = state == FsState::deleted || state == FsState::deleted_fat_zeroed;
    for (FsEntry& e : t.fs.entries) {
        bool clip_file = e.kind == "clip" || e.kind == "sidecar" || e.kind == "thumbnail";
        if (clip_file && (deleted || card->placed[size_t(e.recording)].what.file_deleted))
            e.in_use = false;
        if (state == FsState::deleted_tree)
            e.in_use = false;
        if (state == FsState::deleted_fat_zeroed && clip_file && !e.fields.no_fat_chain) {
            e.fat_chain_written = false;
            e.fat = "zeroed";
            e.trusted = false;
        }
    }
    write_tree(t.fs, fd);
    for (FsEntry& e : t.fs.entries) {
        if (state == FsState::formatted && !e.fields.no_fat_chain) {
            // the FAT is gone: only a contiguous file's set still gives its clusters
            e.fat = "formatted";
            e.trusted = e.trusted && e.runs.size() == 1;
        }
        if (state == FsState::formatted && e.dir == 0)
            e.set_intact = false;  // the first root cluster is written anew
        if (e.kind != "clip" && e.kind != "stale" && e.kind != "twin")
            for (const ClusterRun& r : e.runs)
                for (uint32_t c = r.first; c < r.first + r.count; c++)
                    t.kept.push_back(c);
    }
    for (FsEntry& e : t.fs.entries)
        if (e.kind == "twin")
            for (const FsEntry& c : t.fs.entries)
                if (c.kind == "clip" && c.recording == e.recording)
                    // the twin gives what the clip's set gives, but a deleted set over a live
                    // file's clusters is refused
                    e.trusted = c.trusted && state != FsState::live;
    card->fs_state = state;
    t.fs.allocate = nullptr;
    card->fs = std::move(t.fs);
}

} // namespace mkcard

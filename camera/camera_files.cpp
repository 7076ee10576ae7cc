// The camera's files back whole. For each clip header at a cluster start, every file entry set
// whose first cluster is that cluster is a candidate; its extent is trusted only when the content
// confirms it (camera/extent_check), and of several the live one, then the newest, wins. A file
// that is not trusted still names the recording in its line, and the documented path and salvage
// take the recording as before.
#include "camera/camera_files.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "analysis/final_chunks.h"
#include "basics/output.h"
#include "basics/report_texts.h"
#include "camera/camera_output.h"
#include "camera/extent_check.h"
#include "camera/safe_name.h"
#include "filesystem/catalog.h"
#include "filesystem/extent.h"

namespace camera {

namespace {

using filesystem::FsFile;

struct Candidate {
    const FsFile* file;
    filesystem::Extent extent;
    const char* refused;  // null when the content confirms the extent
};

// The bitmap state a file's clusters must have: allocated for a live file of the tree; free for a
// deleted one, and for a set carved from the heap, which the current file system does not hold.
int held_now(const FsFile* f)
{
    return f->entry.live && f->origin == filesystem::origin_tree;
}

// Live before deleted, then the newest modification.
bool better(const FsFile* a, const FsFile* b)
{
    if (a->entry.live != b->entry.live)
        return a->entry.live > b->entry.live;
    return filesystem::fs_time_unix(&a->entry.modified) > filesystem::fs_time_unix(&b->entry.modified);
}

// What the entry set says of a file, in the words of its clip line.
struct Described {
    char path[1200];
    const char* state;
    char modified[64], created[64];
};

void describe(const FsFile* f, Described* d, char* out, size_t cap)
{
    char name[4 * filesystem::max_name_units + 1];
    filesystem::name_utf8(f->entry.name, f->entry.name_units, name, sizeof name);
    basics::bounded_format(d->path, sizeof d->path, "%s%s%s", f->folder, f->folder[0] ? "/" : "", name);
    filesystem::fs_time_text(&f->entry.modified, d->modified, sizeof d->modified);
    filesystem::fs_time_text(&f->entry.created, d->created, sizeof d->created);
    d->state = held_now(f) ? "live" : f->entry.live ? "left by a format" : "deleted";
    const char* where = f->origin == filesystem::origin_carved ? ", in a folder found in the heap" : "";
    basics::bounded_format(out, cap, "%s (%s%s, modified %s, created %s)", d->path, d->state, where, d->modified,
                           d->created);
}

const analysis::RecoveryClip* documented_clip(const analysis::ClipList* clips, uint32_t clip_number)
{
    for (size_t i = 0; i < clips->count; i++)
        if (clips->items[i].clip_number == clip_number)
            return &clips->items[i];
    return nullptr;
}

int same_time(const filesystem::FsTime* a, const filesystem::FsTime* b)
{
    return a->valid && b->valid && filesystem::fs_time_unix(a) == filesystem::fs_time_unix(b) &&
           a->centiseconds == b->centiseconds;
}

int ends_with(const char* name, const char* suffix)
{
    size_t n = std::strlen(name), k = std::strlen(suffix);
    return n > k && same_name(name + n - k, suffix);
}

// How a file is the clip's sidecar: 2 named after the clip, 1 of the sidecar's kind with the clip's
// modification time (a clip renamed on a computer keeps its sidecars' names), 0 not at all.
int sidecar_match(const FsFile* f, const FsFile* clip_file, const char* stem, const char* suffix)
{
    if (f->entry.directory)
        return 0;
    char name[4 * filesystem::max_name_units + 1], wanted[4 * filesystem::max_name_units + 16];
    filesystem::name_utf8(f->entry.name, f->entry.name_units, name, sizeof name);
    basics::bounded_format(wanted, sizeof wanted, "%s%s", stem, suffix);
    if (same_name(name, wanted))
        return 2;
    return ends_with(name, suffix) && same_time(&f->entry.modified, &clip_file->entry.modified) ? 1 : 0;
}

// The best sidecar of one kind whose own extent checks out (named after the clip before one found
// by its time, the clip's own state, then live and newest); prints its line.
void write_sidecar(const CameraPass* p, const filesystem::FsVolume* v, const filesystem::FsCatalog* catalog,
                   const FsFile* clip_file, const char* stem, const char* clip_safe, const char* suffix, int kind,
                   const char* const* folder, int clip_number, size_t* written, char* path)
{
    path[0] = 0;
    const FsFile* best = nullptr;
    int best_rank = 0;
    filesystem::Extent best_extent = {};
    const char* refused = nullptr;
    const char* refused_name = nullptr;
    for (size_t i = 0; i < catalog->files.count; i++) {
        const FsFile* f = &catalog->files.items[i];
        int match = sidecar_match(f, clip_file, stem, suffix);
        if (!match)
            continue;
        filesystem::Extent e;
        uint32_t verdict = filesystem::file_extent(v, f->entry.first_cluster, f->entry.data_length,
                                                   f->entry.no_fat_chain, held_now(f), &e);
        const char* why = verdict != filesystem::extent_ok ? filesystem::extent_verdict_text(verdict)
                                                           : check_sidecar_extent(v, &e, kind);
        int rank = match * 2 + (held_now(f) == held_now(clip_file));
        if (!why && (!best || rank > best_rank || (rank == best_rank && better(f, best)))) {
            filesystem::free_extent(&best_extent);
            best = f;
            best_rank = rank;
            best_extent = e;
            continue;
        }
        if (why && !refused) {
            refused = why;
            refused_name = suffix;
        }
        filesystem::free_extent(&e);
    }
    if (!best) {
        if (refused)
            basics::out_printf("  sidecar %s%s not used: %s\n", stem, refused_name, refused);
        return;
    }
    // the sidecar follows its clip's safe name, so that the two still pair as the camera paired them
    char name[4 * filesystem::max_name_units + 32];
    sidecar_name(clip_safe, suffix, name, sizeof name);
    if (write_extent_file(p->image, v, &best_extent, p->destination, folder, name, &best->entry, clip_number, path)) {
        basics::out_printf("  sidecar -> %s\n", path);
        ++*written;
    } else {
        path[0] = 0;
    }
    filesystem::free_extent(&best_extent);
}

// The clip's sidecars, their paths ("" for one not written) into `paths`; 1 when one was written.
int write_sidecars(CameraPass* p, const filesystem::FsVolume* v, const filesystem::FsCatalog* catalog,
                   const FsFile* clip_file, const char* clip_safe, int clip_number, char (*paths)[output_path_capacity])
{
    char stem[4 * filesystem::max_name_units + 1];
    filesystem::name_utf8(clip_file->entry.name, clip_file->entry.name_units, stem, sizeof stem);
    char* dot = std::strrchr(stem, '.');
    if (dot)
        *dot = 0;
    write_sidecar(p, v, catalog, clip_file, stem, clip_safe, "M01.XML", sidecar_xml, clip_folder, clip_number,
                  &p->sidecars_written, paths[0]);
    write_sidecar(p, v, catalog, clip_file, stem, clip_safe, "T01.JPG", sidecar_jpeg, thumbnail_folder, clip_number,
                  &p->sidecars_written, paths[1]);
    return paths[0][0] || paths[1][0];
}

// Some file entry set's first cluster is the one the clip header starts.
int names_recording(const filesystem::FsVolume* v, const filesystem::FsCatalog* catalog, const analysis::ClipHeader* header)
{
    uint32_t cluster = filesystem::cluster_at(v, header->header_offset);
    if (!cluster || filesystem::cluster_offset(v, cluster) != header->header_offset)
        return 0;
    for (size_t i = 0; i < catalog->files.count; i++) {
        const FsFile* f = &catalog->files.items[i];
        if (!f->entry.directory && f->entry.first_cluster == cluster && f->entry.data_length > 0)
            return 1;
    }
    return 0;
}

// One recording: its candidates ranked, its line printed, its file written when one is trusted.
void match_recording(CameraPass* p, const filesystem::FsVolume* v, const filesystem::FsCatalog* catalog, size_t h)
{
    const analysis::ClipHeader* header = &p->headers->items[h];
    uint32_t cluster = filesystem::cluster_at(v, header->header_offset);
    if (!cluster || filesystem::cluster_offset(v, cluster) != header->header_offset)
        return;
    int clip_number = int(h + 1);
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < catalog->files.count; i++) {
        const FsFile* f = &catalog->files.items[i];
        if (f->entry.directory || f->entry.first_cluster != cluster || f->entry.data_length == 0)
            continue;
        Candidate c = {f, {}, nullptr};
        uint32_t verdict = filesystem::file_extent(v, cluster, f->entry.data_length, f->entry.no_fat_chain,
                                                   held_now(f), &c.extent);
        c.refused = verdict != filesystem::extent_ok
                        ? filesystem::extent_verdict_text(verdict)
                        : check_recording_extent(v, &c.extent, header, p->markers,
                                                 documented_clip(p->clips, uint32_t(clip_number)), p->validate,
                                                 clip_number);
        candidates.push_back(c);
    }
    if (candidates.empty())
        return;
    const Candidate* chosen = nullptr;
    const Candidate* label = nullptr;
    for (const Candidate& c : candidates) {
        if (!c.refused && (!chosen || better(c.file, chosen->file)))
            chosen = &c;
        if (!label || better(c.file, label->file))
            label = &c;
    }
    const FsFile* named = chosen ? chosen->file : label->file;
    p->named++;
    (held_now(named) ? p->named_live : p->named_deleted)++;
    char text[1400];
    Described d;
    describe(named, &d, text, sizeof text);
    char path[output_path_capacity];
    char sidecars[2][output_path_capacity] = {"", ""};
    char safe[4 * filesystem::max_name_units + 32];
    int renamed = safe_name(named->entry.name, named->entry.name_units, ".MP4", safe, sizeof safe);
    CameraNote note = {uint32_t(clip_number), d.path, d.state, d.created, d.modified, nullptr,
                       chosen ? nullptr : label->refused, nullptr, 0, nullptr, nullptr, 0};
    if (chosen) {
        basics::out_printf("clip %d: %s - the camera's file, whole\n", clip_number, text);
        if (renamed)
            basics::out_printf("  the name on the card is not safe as a file name: written as \"%s\"\n", safe);
        if (write_extent_file(p->image, v, &chosen->extent, p->destination, clip_folder, safe, &named->entry,
                              clip_number, path)) {
            basics::out_printf("  -> %s\n", path);
            p->taken[h] = 1;
            p->files_written++;
            write_sidecars(p, v, catalog, named, safe, clip_number, sidecars);
            note.written_path = path;
        } else {
            basics::out_printf("clip %d: the camera's file was not written; the recording is rebuilt from its pieces\n",
                               clip_number);
            note.refused = "the camera's file could not be written";
        }
    } else {
        basics::out_printf("clip %d: %s - its extent is not used for bytes: %s; the recording is rebuilt from its pieces\n",
                           clip_number, text, label->refused);
        // the sidecars are files of their own: their extents are checked on their own
        if (write_sidecars(p, v, catalog, named, safe, clip_number, sidecars) && p->sidecars_only)
            p->sidecars_only[h] = 1;
    }
    const char* written_sidecars[2];
    for (const char* side : {sidecars[0], sidecars[1]})
        if (side[0])
            written_sidecars[note.sidecar_count++] = side;
    note.sidecar_paths = written_sidecars;
    // the extent the content confirmed
    std::vector<uint64_t> at, length;
    for (size_t i = 0, left = chosen ? chosen->extent.length : 0; left > 0 && i < chosen->extent.runs.count; i++) {
        const filesystem::Extent* extent = &chosen->extent;
        uint64_t bytes = std::min<uint64_t>(left, uint64_t(extent->runs.items[i].count) * v->cluster_bytes);
        at.push_back(filesystem::cluster_offset(v, extent->runs.items[i].first));
        length.push_back(bytes);
        left -= bytes;
    }
    note.extent_at = at.data();
    note.extent_length = length.data();
    note.extent_runs = at.size();
    if (p->note)
        p->note(p->note_context, &note);
    for (Candidate& c : candidates)
        filesystem::free_extent(&c.extent);
}

}  // namespace

size_t run_camera_files(CameraPass* p)
{
    filesystem::FsVolume v;
    if (!filesystem::open_volume(p->image, p->image_size, p->boot_offset, &v))
        return 0;
    filesystem::load_root_tables(&v);
    filesystem::FsCatalog catalog = {};
    filesystem::build_catalog(&v, &p->scan->set_hits, &catalog);
    // the block is printed only when some set names a recording: a card without a file system
    // prints what it always did
    size_t named = 0, live = 0, carved = 0;
    for (size_t h = 0; h < p->headers->count; h++)
        named += analysis::clip_is_chosen(p->only_clip, uint32_t(h + 1)) && names_recording(&v, &catalog, &p->headers->items[h]);
    if (named > 0) {
        for (size_t i = 0; i < catalog.files.count; i++) {
            live += catalog.files.items[i].entry.live;
            carved += catalog.files.items[i].origin == filesystem::origin_carved;
        }
        basics::out_printf("\nFile system: %zu entry sets (%zu live, %zu deleted, %zu carved from the heap), %zu recording%s named\n",
                           catalog.files.count, live, catalog.files.count - live, carved, named, named == 1 ? "" : "s");
        for (size_t h = 0; h < p->headers->count; h++)
            if (analysis::clip_is_chosen(p->only_clip, uint32_t(h + 1)))
                match_recording(p, &v, &catalog, h);
        size_t beyond = 0;
        for (size_t h = 0; h < p->headers->count; h++) {
            const analysis::RecoveryClip* clip = documented_clip(p->clips, uint32_t(h + 1));
            beyond += p->taken[h] && !(clip && analysis::clip_is_recoverable(clip));
        }
        basics::out_printf("%s%zu", basics::camera_files_closing + 1, p->files_written);
        basics::out_printf(basics::camera_files_beyond, beyond);
    }
    filesystem::free_catalog(&catalog);
    filesystem::close_volume(&v);
    return p->files_written;
}

}  // namespace camera

namespace camera {

void print_camera_summary(const CameraPass* p)
{
    if (p->named == 0)
        return;
    basics::out_printf("  camera files      : %zu (with %zu sidecar%s)\n", p->files_written, p->sidecars_written,
                       p->sidecars_written == 1 ? "" : "s");
    basics::out_printf("  file system       : %zu recording%s named (%zu live, %zu deleted or formatted over)\n", p->named,
                       p->named == 1 ? "" : "s", p->named_live, p->named_deleted);
}

}  // namespace camera

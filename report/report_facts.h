#pragma once
// The facts of one run that the report shows: the run itself and one record per recording,
// collected by the engine while it runs. The report draws and lists them; it never reads the
// card again.
#include <cstddef>
#include <cstdint>

#include "basics/growable.h"
#include "basics/sha256.h"

namespace report {

// What the card map draws, in the order a smaller piece wins over a larger one in one place.
enum PieceKind : uint8_t {
    piece_none = 0,
    piece_system,         // boot region, allocation bitmap, ... up to the cluster heap
    piece_unused,         // a signature the scan saw but no recording took
    piece_extent,         // a file-system extent of the recording's original file, under what was found in it
    piece_sound,
    piece_video,          // a video chunk found on the card
    piece_salvaged,       // a span salvage kept
    piece_missing,        // a video chunk not found: drawn where the unfragmented file would hold it
    piece_header,         // ftyp and the mdat box header
    piece_movie,          // the movie box
    piece_unreadable,     // bytes the card did not give: a read error, or not rescued by an earlier imaging
    piece_kinds
};

constexpr uint32_t no_recording = UINT32_MAX;  // the recording of system and unused pieces

struct Piece {
    uint64_t offset;
    uint64_t length;
    uint32_t recording;  // index into the recording list; no_recording for system and unused pieces
    uint8_t kind;        // PieceKind
};
using PieceList = basics::Growable<Piece, 256>;

enum Fate : uint8_t {
    fate_written = 0,       // rebuilt by the documented rules
    fate_salvaged,          // salvaged, with the gaps it has
    fate_not_recovered,     // given up; `reason` says why
    fate_not_written,       // recoverable, but this run wrote nothing of it (analysis, queue)
    fate_camera_file,       // back as the camera's own file, from the file system's extent
    fate_count
};

// A further file a recording came back as: a later part of a salvaged recording, or a sidecar of
// the camera's file.
struct MoreOutput {
    char path[1400];
    uint64_t size;
    char sha256[basics::sha256_hex_size];
    uint32_t hash_ticket;  // the file hasher's, while it hashes the file; 0: hashed at the end
};
using MoreOutputList = basics::Growable<MoreOutput, 2>;

// What the file-system pass knows of the recording's original file; all empty until it runs.
struct OriginalFile {
    char path[1024];         // "" when unknown
    uint8_t state;           // 0 unknown, 1 live, 2 deleted, 3 left by a format
    char created[64];        // with its UTC offset, as the console shows it; "" when unknown
    char modified[64];
    char refused[200];       // why its extent gives no bytes, "" when it does or is unknown
};

struct RecordingFacts {
    uint32_t clip_number;
    uint32_t has_time;
    uint32_t year, month, day, hour, minute, second;
    uint64_t image_offset;      // the clip header, or the first piece found
    uint64_t recording_bytes;   // the camera's file: header to the end of its movie box, 0 unknown
    uint32_t has_movie;         // its movie box was found and paired
    uint64_t movie_offset;      // where the movie box the facts below come from starts
    char codec[5];
    uint32_t width, height;     // of the decoded picture, 0 when not decoded
    double duration_seconds;
    uint64_t rate_num, rate_den;  // frames per second as a fraction, 0/0 unknown
    uint64_t video_samples;
    uint64_t video_chunks, video_chunks_found;
    uint64_t sound_chunks, sound_chunks_found;
    // salvage
    uint64_t kept_samples, recording_samples, gaps;
    double kept_seconds;        // the salvaged file's video
    uint32_t sound_percent;     // of the kept span, 101 when there is no sound
    uint8_t fate;
    char reason[256];
    // the written file
    char output_path[1400];
    uint64_t output_size;
    char output_sha256[basics::sha256_hex_size];
    uint32_t output_hash_ticket;  // the file hasher's, while it hashes the file; 0: hashed at the end
    // the hash of the file's first output_head.length bytes, taken as they were written, when
    // output_head_known; the report reads only the rest
    basics::Sha256 output_head;
    uint8_t output_head_known;
    MoreOutputList more_outputs;  // owned
    // the first decodable picture, as a PNG, owned; null when none
    uint8_t* thumbnail_png;
    size_t thumbnail_size;
    OriginalFile original;
    uint8_t pieces_noted;  // the writer or salvage told where its pieces lie
};
using RecordingList = basics::Growable<RecordingFacts, 256>;

constexpr int stage_count = 7;  // stages 1 to 6 and the report itself
extern const char* const stage_names[stage_count];

// A stretch of the card that did not read.
struct UnreadableFact {
    uint64_t offset;
    uint64_t length;
    uint8_t from_mapfile;  // not rescued by an earlier imaging, rather than a read error of this run
};
using UnreadableFacts = basics::Growable<UnreadableFact, 16>;

struct RunFacts {
    const char* image_path;
    uint64_t image_size;
    uint32_t image_hashed;  // --hash-image and the raw scan read the whole image
    char image_sha256[basics::sha256_hex_size];
    uint64_t cluster_bytes, heap_offset, boot_offset;
    const char* engine_version;
    const char* build_tag;
    char command_line[8192];
    const char* output_dir;
    uint32_t analysis_only, validator_used, scan_cache_hit;
    double stage_seconds[stage_count];  // < 0: the stage did not run
    char finished_at[40];               // UTC, ISO 8601
    uint64_t raw_headers, raw_kkad, raw_movies;
    uint64_t unused_headers, unused_kkad, unused_movies;
    UnreadableFacts unreadable;  // in card order
    uint64_t failed_reads;
};

struct ReportFacts {
    RunFacts run;
    RecordingList recordings;  // in clip-number order
    PieceList pieces;
};

void free_report_facts(ReportFacts* facts);
// The spans that touch a piece of recording `index`, in card order, appended to `out`.
void recording_unreadable(const ReportFacts* facts, uint32_t index, UnreadableFacts* out);
// The recording with this clip number, or null.
RecordingFacts* find_recording(ReportFacts* facts, uint32_t clip_number);
// Puts the recordings in clip-number order, their pieces following them.
void sort_recordings(ReportFacts* facts);
void add_piece(ReportFacts* facts, uint8_t kind, uint32_t recording, uint64_t offset, uint64_t length);

const char* fate_word(uint8_t fate);  // "written", "salvaged", "not-recovered", "not-written"

}  // namespace report

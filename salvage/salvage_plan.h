#pragma once
// What salvage keeps of a recording the documented path gave up on: for each track the stream
// settings and the samples that are on the card, in the order they go into the salvaged file,
// each piece with its image position. Nothing in a plan is invented: a sample that is not on
// the card is not in the plan, and the sound of the same span is left out with it.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/exfat_detect.h"
#include "image/scan_index.h"
#include "basics/growable.h"

namespace salvage {

enum SalvageTrackKind : uint32_t { salvage_video = 0, salvage_sound = 1, salvage_track_kinds = 2 };

// Consecutive samples of one track that lie one after another in the image.
struct SalvagePiece {
    uint32_t track;          // SalvageTrackKind
    uint32_t gap_before;     // 1 when samples of the recording are missing right before these
    uint64_t image_offset;   // first byte of the first sample
    uint64_t length;         // bytes: the sum of the samples' sizes
    uint64_t first_sample;   // index into the track's kept samples
    uint64_t sample_count;
    // a piece a fragment boundary cut: its first head_length bytes at image_offset, the rest from
    // tail_offset; head_length 0: the piece lies in one span
    uint64_t head_length;
    uint64_t tail_offset;
    uint64_t chunk = UINT64_MAX;  // the recording's chunk (0 the first) that holds them; UINT64_MAX: not known
    // a sample longer than the runs around it is cut more than once: the piece's runs behind its
    // tail's, later_runs of them from the plan's later_runs[later_first] on
    uint32_t later_runs = 0;
    uint64_t later_first = 0;
};

// A run of a piece behind its tail's: the piece's bytes from `from` on lie at `at`.
struct PieceRun {
    uint64_t from;
    uint64_t at;
};

struct SalvageTrack {
    uint32_t present;            // 0: nothing of this track is kept
    uint32_t timescale;
    uint32_t sample_delta;       // the camera's streams are constant rate: every sample lasts this long
    uint8_t* sample_entry;       // one whole sample entry box (avc1/hvc1/hev1 with avcC/hvcC, or the sound entry), owned
    uint32_t sample_entry_size;
    uint32_t fixed_sample_size;  // non-zero: every kept sample has this size and sample_sizes is null
    uint32_t* sample_sizes;      // one per kept sample, owned
    uint8_t* key_frames;         // video: 1 per kept sample that is a sync sample, owned; null for sound
    uint64_t kept_samples;
    uint64_t recording_samples;  // what the recording held, as far as the card tells
    uint64_t span_samples;       // sound: what the kept video span should have (for "sound N % of the kept span")
    // video: each kept sample's presentation time less its decode time, in the track's time
    // scale, owned; null when the samples are presented in decode order
    int64_t* composition_offsets;
    uint32_t has_edit;           // the camera's edit list starts the presentation at edit_media_time
    int64_t edit_media_time;
};

struct SalvagePlan {
    uint32_t clip_number;    // from the clip header, as in the documented file names
    uint32_t part;           // 0: the recording's first file; 2 and on: the later parts it was split into
    analysis::RecordingTime time;  // from the markers
    uint64_t creation_time;  // seconds since 1904 for mvhd/tkhd/mdhd, 0 when unknown
    uint64_t video_gaps;     // runs of missing video samples inside the kept span
    SalvageTrack tracks[salvage_track_kinds];
    SalvagePiece* pieces;    // in file order, owned
    uint64_t piece_count;
    PieceRun* later_runs;    // the runs behind the tails of pieces cut more than once, owned
    uint64_t later_run_count;
};

// What one planner gave for one recording: a plan, or the reason there is none.
struct SalvageAttempt {
    uint32_t clip_number;  // the clip header's index, as the documented file names use it
    uint32_t planned;      // 1: `plan` holds what is kept; 0: `reason` says why nothing is
    char reason[96];
    SalvagePlan plan;
};
using SalvageAttemptList = basics::Growable<SalvageAttempt, 16>;

// Bytes of the image a recording's located piece holds (a video chunk found by its samples, or
// a kkad box): no other recording's file can lie there.
struct ClaimedSpan {
    uint64_t begin;
    uint64_t end;
    uint32_t clip;  // the clip whose planner located it; 0 for a kkad box
    uint32_t tag;   // the recording's kkad tag; 0 when unknown
    // 1: sound placed at the one edge the others' pieces leave, where nothing but the same
    // guess of another recording ends the runs around that edge yet: it only ends runs;
    // claim_copy: a copy of the recording's bytes over another's, where no sound is taken
    uint32_t tentative = 0;
    // the camera's file offset of `begin`, for a piece whose bytes its content shows lie in one run
    // (the samples of a video chunk walked there, sound whole in one run); UINT64_MAX: not known.
    // Two such pieces as far apart in the image as in the file lie in one run, and show how long
    // the runs of the file are
    uint64_t file = UINT64_MAX;
    // 1: placed by where one boundary between two runs may fall, not by the bytes' content; with
    // more boundaries than one between the two pieces it may be wrong
    uint32_t inferred = 0;
    // file_starts: the piece begins its file (a clip header); file_ends: it ends it (a movie box)
    uint32_t bound = 0;
    // 1: sound placed where the runs around it leave room for it, which the others' pieces of the
    // same pass may not show yet
    uint32_t by_room = 0;
    // for sound and the bytes that trail it: the camera's file offset of that sound chunk, the
    // same on every pass; UINT64_MAX: not known
    uint64_t sound_of = UINT64_MAX;
};
constexpr uint32_t claim_copy = 2;
// sound placed where the runs around it leave room for it (1: placed by its own pieces)
constexpr uint32_t placed_by_room = 2;
constexpr uint32_t file_starts = 1, file_ends = 2;
// Bytes [file, file + size) of a recording's file (sound) between its located pieces `lo` and
// `hi` in different runs, with the cluster edges (file offsets) that other recordings' pieces
// leave for the boundary between the two runs.
constexpr uint32_t sound_gap_edges_max = 64;
struct SoundGap {
    uint32_t clip;
    uint32_t tag;
    uint64_t lo_file, lo_image;
    uint64_t hi_file, hi_image;
    uint64_t file, size;
    uint32_t edge_count;
    uint64_t edges[sound_gap_edges_max];
};
using SoundGapList = basics::Growable<SoundGap, 16>;

// Sound between two located pieces of a recording placed cluster by cluster: the file's clusters
// from the one that holds `lo` on, each at `cluster_at`.
constexpr uint32_t threaded_clusters_max = 16;
struct ThreadedSound {
    uint32_t clip;
    uint32_t tag;
    uint64_t lo_file, lo_image;
    uint64_t hi_file, hi_image;
    uint64_t file, size;
    uint32_t clusters;
    uint64_t cluster_at[threaded_clusters_max];
};
using ThreadedList = basics::Growable<ThreadedSound, 16>;

struct ClaimList {
    basics::Growable<ClaimedSpan, 256> spans;  // in image order
    uint64_t longest = 0;                      // bytes of the longest span
    SoundGapList gaps;                         // sound the pieces leave open, as the planners met it
    SoundGapList settled;                      // of those, the ones the others' left edges settle: one edge each
    SoundGapList open;                         // sound between two pieces in different runs not placed yet
    ThreadedList threaded;                     // of those, the ones the others' pieces leave clusters for
    // bytes that two recordings' pieces took in one pass: one of the two is placed where its bytes
    // are not, and nothing tells which, so no sound is taken there (begin and end used)
    basics::Growable<ClaimedSpan, 16> contested;
};
void free_claims(ClaimList* claims);

// What salvage reads of the card: the image and the lists the analysis made of it.
struct SalvageCard {
    std::FILE* image;
    uint64_t image_size;
    const image::ImageGeometry* geometry;  // where overwritten clusters may begin
    const image::ScanIndex* scan;
    const analysis::ClipHeaderList* headers;
    const analysis::MarkerList* markers;
    const analysis::MovieList* movies;
    const analysis::RunList* runs;
    const analysis::PairList* pairs;
    int decode_check;  // the validator is loaded: the decoder may judge what the card leaves open
    const ClaimList* claims;  // the pieces every recording's planner located; null: none known
};

// Video samples the decode check refused, by image offset: a planner cuts each one's chunk
// before it, with everything behind it in that chunk. A recording the decoder cannot take as one
// stream is written in parts: a part keeps the samples from the one at `from` (0: from the
// start) up to the one at `until` (0: to the end), in decode order, as if the others were lost.
struct RefusedSamples {
    const uint64_t* offsets;
    size_t count;
    uint64_t from;
    uint64_t until;
};

int is_refused(const RefusedSamples* refused, uint64_t image_offset);
// The runs of a piece: 1 in one span, 2 with a tail, more where a sample is cut more than once.
uint64_t piece_run_count(const SalvagePiece* piece);
// Run `j` of a piece (0 the first): its first byte in the piece, its length and its image offset;
// 0 when the piece has no such run or the plan's runs do not hold it.
int piece_run(const SalvagePlan* plan, const SalvagePiece* piece, uint64_t j, uint64_t* from, uint64_t* length,
              uint64_t* at);
// The image offset of byte `x` of a piece.
uint64_t piece_byte_offset(const SalvagePlan* plan, const SalvagePiece* piece, uint64_t x);
// The image offset of kept sample `sample` of a plan's video track; 0 when it has no such sample.
int kept_sample_offset(const SalvagePlan* plan, uint64_t sample, uint64_t* offset);
// Where a chunk lies in the recording's time: its first frame and the clock of its frames and its
// sound (sound samples a second); a zero video_timescale when not known.
struct ChunkTime {
    uint64_t first_frame;
    uint64_t video_timescale, video_delta, sound_rate;
};
// The sound that goes with video samples [first, end) of a chunk of `video` samples beside a
// sound chunk of `sound` samples. The camera writes the sound due by each frame's end, counted
// from the recording's start: where `time` gives the chunk exactly `sound` samples so, each frame
// takes the sound due while it shows (at 1001 rates a chunk's frames do not share it evenly);
// else the share is in proportion, rounded down at both ends.
void sound_share(uint64_t sound, uint64_t video, uint64_t first, uint64_t end, const ChunkTime* time, uint64_t* skip,
                 uint64_t* count);

// The image offset of the first video sample of the last span kept after a gap; 0 when the plan
// keeps one span only.
int last_span_start(const SalvagePlan* plan, uint64_t* offset);
// Marks the attempt as not planned, with `reason`; returns 0.
int give_up(SalvageAttempt* attempt, const char* reason);

void free_salvage_plan(SalvagePlan* plan);
// Releases one track's tables and leaves it not present.
void free_salvage_track(SalvageTrack* track);

}  // namespace salvage

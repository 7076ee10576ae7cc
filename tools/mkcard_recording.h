// One camera recording: ftyp, optional uuid boxes, mdat with interleaved metadata, video and sound
// chunks (a kkad box in the last metadata sample of every chunk), then the movie box.
#pragma once
#include "tools/mkcard_media.h"

#include <string>

namespace mkcard {

struct RecordingPlan {
    VideoFormat video;
    uint32_t frames = 48;          // whole 12-frame groups
    int64_t utc_unix = 0;          // recording time in UTC
    int tz_hours = 0;              // the camera's clock runs this many hours ahead of UTC
    bool co64 = false;
    bool mdat64 = false;
    bool moov64 = false;           // the movie box with a 16-byte header
    uint32_t uuid_boxes = 0;
    uint32_t seed = 0;             // picks the encode and the tone
    bool dithered_sound = false;   // every few frames of sound occur once in the recording
    SoundKind sound = SoundKind::tone;
    SoundFormat sound_format;      // 16-bit stereo unless asked otherwise
    bool timeless_kkad = false;    // kkad boxes with their time field zero, as some firmware writes
    int32_t edit_media_frames = -1;  // the edit list's media time in frames; -1: the first picture shown
};

// The plan's video timing: ticks a second and ticks a frame (25000 and 1000 at 25 frames a second,
// 30000 and 1001 at 29.97).
uint32_t video_timescale(const RecordingPlan& plan);
uint32_t video_frame_ticks(const RecordingPlan& plan);
// The sound frames (48 kHz) due by the end of the first `frames` video frames: what the camera
// has written behind the chunk that ends there. At 1001 rates a chunk's share varies.
uint64_t pcm_frames_due(const RecordingPlan& plan, uint64_t frames);
// The recording's length in milliseconds, rounded to the nearest.
uint64_t duration_ms(const RecordingPlan& plan);
// The rate as the camera's sidecar names it: "25p", "29.97p", ...
std::string fps_text(const RecordingPlan& plan);

struct Chunk {
    uint64_t offset = 0;  // in the recording file
    uint64_t size = 0;
};

// A recording's layout: every byte of its file follows from it and its encoded piece of video
// (recording_bytes), so a card of recordings larger than memory is written without holding them.
struct Recording {
    RecordingPlan plan;
    Bytes file;                   // the whole file, only where the card was asked to hold it
    uint64_t file_size = 0;
    Bytes header;                 // ftyp, uuid boxes and the mdat header with its size
    uint64_t header_length = 0;
    uint64_t mdat_end = 0;        // where the movie box starts
    std::vector<Chunk> meta, video, audio;
    std::vector<uint32_t> video_sizes;
    std::vector<uint8_t> video_key;  // 1 for every video sample that is a key frame
    Bytes moov_keep;              // the movie box as the camera wrote it
    Bytes moov_plain;             // the same without the metadata track
    std::string time_text;        // local recording time, "%04d%02d%02d_%02d%02d%02d"
    unsigned local_date[6] = {};  // the same as the kkad boxes carry it
};

constexpr uint32_t meta_sample_bytes = 1536;
constexpr uint32_t kkad_box_bytes = 768;

// The layout of the recording `plan` asks for.
Recording make_recording(const RecordingPlan& plan);

// The encoded piece of video the recording repeats (from the generator's cache after the first).
VideoStream recording_video(const RecordingPlan& plan);

// Bytes [at, at + n) of the recording file. An `expected` view reads every metadata chunk as
// zeros and `moov` from the end of the media data on, as a recovery writes it.
struct FileView {
    bool zero_meta = false;
    const Bytes* moov = nullptr;  // nullptr: the camera's own
};
void recording_bytes(const Recording& r, const VideoStream& vs, uint64_t at, uint8_t* dst, uint64_t n,
                     FileView view = {});

// One video chunk a kkad box describes: where it starts in the file and its twelve sample sizes.
struct KkadDescription {
    uint64_t offset;
    uint32_t sizes[12];
};

// The camera's kkad box of `size` bytes at `box`: the chunk's sequence number, the recording's
// tag and local time, then the descriptions from box offset 80 on, 329 bytes apart.
void write_kkad_box(uint8_t* box, uint32_t size, uint32_t sequence, uint32_t tag, const unsigned date[6],
                    const std::vector<KkadDescription>& descriptions);

// The date a count of days since 1970-01-01 falls on.
void civil_from_days(int64_t days, int* year, unsigned* month, unsigned* day);

} // namespace mkcard

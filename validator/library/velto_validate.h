#pragma once
// The decode validator's inner working behind its six exports: one decoding session per open
// handle, the decoder and configuration record each sample-entry type needs, and the rules that
// turn the decoder's results into samples, frames, corrupt frames and the failing sample.
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "validator/validator_api.h"

extern "C" {
struct AVCodecContext;
struct AVPacket;
struct AVFrame;
}

namespace velto {

// More frame threads than this add samples in flight (a picture of memory each), not speed.
constexpr int max_threads = 16;
// Samples by push order, modulo the slots: more than the threads' samples in flight plus the
// deepest reordering, so a sample's slot is not reused before its frame came out.
constexpr uint64_t order_slots = 64;

struct Session {
    AVCodecContext* codec;
    AVPacket* packet;
    AVFrame* frame;
    int hevc;
    uint64_t samples;
    uint64_t frames;
    uint64_t failing_sample;
    uint32_t corrupt;
    int failed;
    uint64_t sent;                            // packets sent, in push order
    uint64_t lag;                             // pushes between a sample and its result
    int64_t last_returned;                    // push order of the newest result that gave a frame
    uint64_t sample_index[order_slots];       // by push order
    // set from a decoding thread, by push order
    std::atomic<uint8_t> concealed[order_slots];
    std::atomic<uint8_t> error_logged[order_slots];
    // error messages while the decoder read the configuration record, before any sample
    std::atomic<uint32_t> open_errors;
};

// The libavcodec decoder (an AVCodecID) for a sample-entry type: H.264 for avc1/avc3, HEVC for
// hvc1/hev1; 0 for any other type.
int decoder_for_format(const char* format /* 4 bytes */);
// 1 when `record` can be the decoder's configuration record: long enough to hold the record's
// fixed fields (7 bytes of an avcC, 23 of an hvcC), with version 1 so that the decoder reads the
// samples as length-prefixed NAL units rather than start codes.
int record_usable(int decoder, const uint8_t* record, uint32_t length);

// 1 when the length-prefixed NAL units fill the sample and one of them is a slice the decoder
// reads. Each camera sample holds one picture; a sample without one (its slice's NAL header
// damaged, say) would otherwise show only as a picture missing at some later sample.
int holds_picture(const uint8_t* sample, uint64_t size, int hevc);

// The decoder's messages never reach the console; errors, and the note that a frame was
// concealed, are kept beside the sample being decoded.
void log_sink(void* context, int level, const char* format, va_list);

// Frame threads: one more than the cores, or MENDORA_VALIDATOR_THREADS, at most max_threads and `granted`
// when that is not 0.
int thread_count(uint32_t granted);

void fill_result(const Session* s, validator::ValidatorResult* r);
// Marks the session failed and names the sample whose result held the decode error.
void fail_at_result(Session* s, int draining);
// Takes every frame the decoder has ready; 0 on a decode error.
int receive_frames(Session* s);
// Sends the end of the stream and takes the frames still inside the decoder; 0 on a decode error,
// with the failing sample named.
int drain(Session* s);
// A session ready to take samples, or null.
Session* open_session(int decoder, const uint8_t* record, uint32_t length, uint32_t granted_threads);
void free_session(Session* s);

}  // namespace velto

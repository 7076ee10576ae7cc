// The decode validator: decodes the video samples of a rebuilt clip with libavcodec's H.264 or
// HEVC decoder, as the sample-entry type says, on every core and reports whether every one of
// them decoded cleanly.
//
// What counts as a failure:
//   - a sample the decoder refuses (send or receive error) is rejected; errors explode instead of
//     being concealed, so a damaged slice fails the decode of the sample that carries it;
//   - a corrupt frame is a decoded frame that the decoder marks AV_FRAME_FLAG_CORRUPT or that
//     carries any decode_error_flags (invalid bitstream, missing reference, concealment active,
//     slices not decoded);
//   - finish fails when the drain reports an error, or when fewer frames came out than samples
//     went in (each camera sample holds one frame, so a lost frame means a sample did not decode);
//   - an error the decoder only logs counts as one it returns: a damaged parameter set in the
//     configuration record fails the open, though the samples' own parameter sets would decode.
//
// Frame threads decode several samples at once, each on a thread of its own, and hand back their
// results strictly in the order the samples went in, one result per sample sent once every thread
// has a sample. So the outcome of sample k surfaces threads - 1 pushes later, or in the drain for
// the last samples. Each packet carries its place in the push order (pts and dts, which come back
// on the frames), and the rejected sample is the one whose result held the error: the same one a
// single thread names.
//
// A frame whose missing macroblocks were concealed is marked on the decoding thread only after
// the other threads took their copy of it, so its mark can miss the frame that comes out. The
// concealment itself is announced through the log, from the decoding thread's context, which
// carries the push order of its packet; that note is kept beside the sample and counts as the
// mark.
#include "validator/library/velto_validate.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "basics/byte_order.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#if defined(_WIN32)
#define VELTO_EXPORT extern "C" __declspec(dllexport)
#else
#define VELTO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace velto {

int decoder_for_format(const char* format)
{
    if (std::memcmp(format, "avc1", 4) == 0 || std::memcmp(format, "avc3", 4) == 0)
        return AV_CODEC_ID_H264;
    if (std::memcmp(format, "hvc1", 4) == 0 || std::memcmp(format, "hev1", 4) == 0)
        return AV_CODEC_ID_HEVC;
    return 0;
}

int record_usable(int decoder, const uint8_t* record, uint32_t length)
{
    uint32_t fixed = decoder == AV_CODEC_ID_HEVC ? 23 : 7;
    return record && length >= fixed && record[0] == 1;
}

int holds_picture(const uint8_t* sample, uint64_t size, int hevc)
{
    int picture = 0;
    for (uint64_t at = 0; at < size;) {
        if (size - at < 4)
            return 0;
        uint64_t length = basics::load_be32(sample + at);
        if (length > size - at - 4)
            return 0;
        const uint8_t* nal = sample + at + 4;
        // the decoder passes over a unit with its forbidden bit set, and HEVC units of layers above 0
        if (length >= 2 && !(nal[0] & 0x80)) {
            unsigned type = hevc ? (nal[0] >> 1) & 0x3f : nal[0] & 0x1f;
            unsigned layer = hevc ? ((nal[0] & 1) << 5) | (nal[1] >> 3) : 0;
            picture |= hevc ? (type <= 9 || (type >= 16 && type <= 21)) && layer == 0 : type >= 1 && type <= 5;
        }
        at += 4 + length;
    }
    return picture;
}

// The decoder's messages never reach the console (the front end reads the engine's lines); the
// errors and the one that says a frame was concealed are noted for the sample being decoded.
void log_sink(void* context, int level, const char* format, va_list)
{
    int concealing = level == AV_LOG_INFO && std::strncmp(format, "concealing ", 11) == 0;
    if (!context || (level > AV_LOG_ERROR && !concealing))
        return;
    if (*static_cast<const AVClass**>(context) != avcodec_get_class())
        return;
    const auto* codec = static_cast<const AVCodecContext*>(context);
    auto* s = static_cast<Session*>(codec->opaque);
    if (!s)
        return;
    if (codec->reordered_opaque < 0) {
        if (!concealing)
            s->open_errors++;
        return;
    }
    uint64_t slot = uint64_t(codec->reordered_opaque) % order_slots;
    (concealing ? s->concealed : s->error_logged)[slot].store(1);
}

// Frame threads: one more than the cores, as the decoder picks for itself (a thread that waits
// for its reference picture leaves a core to the next one), or MENDORA_VALIDATOR_THREADS (which
// the tests and the bench set to compare one thread with many); at most max_threads and what the
// caller granted.
int thread_count(uint32_t granted)
{
    int cores = av_cpu_count();
    int n = cores > 1 ? cores + 1 : 1;
    const char* forced = std::getenv("MENDORA_VALIDATOR_THREADS");
    if (forced && std::atoi(forced) > 0)
        n = std::atoi(forced);
    if (granted > 0 && granted < uint32_t(n))
        n = static_cast<int>(granted);
    if (n < 1)
        n = 1;
    return n < max_threads ? n : max_threads;
}

void fill_result(const Session* s, validator::ValidatorResult* r)
{
    if (!r)
        return;
    r->samples_received = s->samples;
    r->frames_decoded = s->frames;
    r->failing_sample = s->failing_sample;
    r->corrupt_frames = s->corrupt;
}

// Names the sample whose result held a decode error: the oldest one whose result had not come
// back. While pushing, that is the sample `lag` pushes before the one just sent; in the drain, the
// one after the newest result that gave a frame (or the oldest left in flight). A drain error
// after every sample's result has come back names none.
//
// An error can also surface before its result is due: a thread taking over the decoder's state
// from a failed sample's thread fails at once (its reference marking no longer adds up). Then the
// oldest open sample decoded without a word, and the failed one is the first open sample whose
// decode logged an error.
void fail_at_result(Session* s, int draining)
{
    s->failed = 1;
    uint64_t before = draining ? s->sent : s->sent - 1;  // samples sent before this call
    uint64_t order = before > s->lag ? before - s->lag : 0;
    if (draining && s->last_returned >= 0 && uint64_t(s->last_returned) + 1 > order)
        order = uint64_t(s->last_returned) + 1;
    if (order >= s->sent)
        return;
    if (!s->error_logged[order % order_slots].load()) {
        for (uint64_t o = order + 1; o < s->sent; o++) {
            if (s->error_logged[o % order_slots].load()) {
                order = o;
                break;
            }
        }
    }
    s->failing_sample = s->sample_index[order % order_slots];
}

// Takes every frame the decoder has ready; 0 on a decode error.
int receive_frames(Session* s)
{
    for (;;) {
        int rc = avcodec_receive_frame(s->codec, s->frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return 1;
        if (rc < 0)
            return 0;
        s->frames++;
        // frames the drain flushes out of the reference buffer belong to no sample's result
        if (s->frame->pkt_dts != AV_NOPTS_VALUE && s->frame->pkt_dts > s->last_returned)
            s->last_returned = s->frame->pkt_dts;
        // an error the decoder only logged counts as one it returned
        if (s->frame->pts >= 0 && s->error_logged[uint64_t(s->frame->pts) % order_slots].load()) {
            av_frame_unref(s->frame);
            return 0;
        }
        int concealed = s->frame->pts >= 0 && s->concealed[uint64_t(s->frame->pts) % order_slots].load();
        if ((s->frame->flags & AV_FRAME_FLAG_CORRUPT) || s->frame->decode_error_flags != 0 || concealed) {
            if (s->corrupt != UINT32_MAX)
                s->corrupt++;
        }
        av_frame_unref(s->frame);
    }
}

// Sends the end of the stream and takes the frames still inside the decoder; 0 on a decode error,
// with the failing sample named.
int drain(Session* s)
{
    int rc = avcodec_send_packet(s->codec, nullptr);
    if ((rc < 0 && rc != AVERROR_EOF) || !receive_frames(s)) {
        fail_at_result(s, 1);
        return 0;
    }
    return 1;
}

void free_session(Session* s)
{
    av_frame_free(&s->frame);
    av_packet_free(&s->packet);
    avcodec_free_context(&s->codec);
    delete s;
}

Session* open_session(int decoder_id, const uint8_t* record, uint32_t length, uint32_t granted_threads)
{
    av_log_set_callback(log_sink);  // the decoder's messages stay off the console
    const AVCodec* decoder = avcodec_find_decoder(static_cast<AVCodecID>(decoder_id));
    if (!decoder)
        return nullptr;
    auto* s = new (std::nothrow) Session();  // zeroed
    if (!s)
        return nullptr;
    s->failing_sample = validator::no_failing_sample;
    s->last_returned = -1;
    s->hevc = decoder_id == AV_CODEC_ID_HEVC;
    s->codec = avcodec_alloc_context3(decoder);
    s->packet = av_packet_alloc();
    s->frame = av_frame_alloc();
    if (!s->codec || !s->packet || !s->frame) {
        free_session(s);
        return nullptr;
    }
    // The record tells the decoder that samples are length-prefixed NAL units, and how long the
    // length fields are.
    s->codec->extradata = static_cast<uint8_t*>(av_mallocz(length + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!s->codec->extradata) {
        free_session(s);
        return nullptr;
    }
    std::memcpy(s->codec->extradata, record, length);
    s->codec->extradata_size = static_cast<int>(length);
    s->codec->opaque = s;
    s->codec->reordered_opaque = -1;  // no sample yet: what the decoder says now is about the record
    s->codec->thread_count = thread_count(granted_threads);
    s->codec->thread_type = FF_THREAD_FRAME;
    // Errors explode instead of being concealed, and damaged frames are handed out (and counted)
    // rather than silently dropped.
    s->codec->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CAREFUL;
    s->codec->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
    s->codec->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
    // a damaged parameter set in the record fails the open, though the samples' own would decode
    if (avcodec_open2(s->codec, decoder, nullptr) < 0 || s->open_errors.load() != 0) {
        free_session(s);
        return nullptr;
    }
    // a single thread gives each sample's result back at once
    if ((s->codec->active_thread_type & FF_THREAD_FRAME) && s->codec->thread_count > 1)
        s->lag = static_cast<uint64_t>(s->codec->thread_count - 1);
    return s;
}

}  // namespace velto

using namespace velto;

VELTO_EXPORT uint32_t velto_xavc_get_abi() { return validator::validator_abi; }

// The sample-entry type says which decoder the samples and their record are for.
VELTO_EXPORT void* velto_xavc_open_threads(const validator::ValidatorOpenParams* params, uint32_t frame_threads)
{
    if (!params || params->version != validator::validator_abi)
        return nullptr;
    int decoder = decoder_for_format(params->format);
    const auto* record = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(params->config_address));
    if (!decoder || !record_usable(decoder, record, params->config_length))
        return nullptr;
    return open_session(decoder, record, params->config_length, frame_threads);
}

VELTO_EXPORT void* velto_xavc_open(const validator::ValidatorOpenParams* params)
{
    return velto_xavc_open_threads(params, 0);
}

VELTO_EXPORT int velto_xavc_push(void* handle, const uint8_t* data, uint64_t size, uint64_t index)
{
    auto* s = static_cast<Session*>(handle);
    if (!s)
        return -1;
    s->samples++;
    if (s->failed)
        return -1;
    if (!data || size == 0 || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE || !holds_picture(data, size, s->hevc) ||
        av_new_packet(s->packet, static_cast<int>(size)) < 0) {
        // the samples still in flight come first: one of them may be the first that fails
        if (drain(s))
            s->failing_sample = index;
        s->failed = 1;
        return -1;
    }
    std::memcpy(s->packet->data, data, static_cast<size_t>(size));
    uint64_t slot = s->sent % order_slots;
    s->sample_index[slot] = index;
    s->concealed[slot].store(0);
    s->error_logged[slot].store(0);
    s->packet->pts = s->packet->dts = s->codec->reordered_opaque = static_cast<int64_t>(s->sent);
    s->sent++;
    int rc = avcodec_send_packet(s->codec, s->packet);
    av_packet_unref(s->packet);
    if (rc < 0 || !receive_frames(s)) {
        fail_at_result(s, 0);
        return -1;
    }
    return 0;
}

VELTO_EXPORT int velto_xavc_finish(void* handle, validator::ValidatorResult* result)
{
    auto* s = static_cast<Session*>(handle);
    if (!s)
        return -1;
    int ok = !s->failed;
    if (ok && !drain(s))
        ok = 0;
    if (s->frames < s->samples)
        ok = 0;
    fill_result(s, result);
    return ok ? 0 : 1;
}

VELTO_EXPORT int velto_xavc_get_result(void* handle, validator::ValidatorResult* result)
{
    auto* s = static_cast<Session*>(handle);
    if (!s)
        return -1;
    fill_result(s, result);
    return 0;
}

VELTO_EXPORT void velto_xavc_close(void* handle)
{
    auto* s = static_cast<Session*>(handle);
    if (s)
        free_session(s);
}

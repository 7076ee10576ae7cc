// The AVC decode validator: decodes the video samples of a rebuilt clip with libavcodec's H.264
// decoder and reports whether every one of them decoded cleanly.
//
// What counts as a failure:
//   - a sample the decoder refuses (send or receive error) is rejected at once; because decoding
//     is single-threaded and errors explode instead of being concealed, a damaged slice shows up
//     on the sample that carries it;
//   - a corrupt frame is a decoded frame that the decoder marks AV_FRAME_FLAG_CORRUPT or that
//     carries any decode_error_flags (invalid bitstream, missing reference, concealment active,
//     slices not decoded);
//   - finish fails when the drain reports an error, or when fewer frames came out than samples
//     went in (each camera sample holds one frame, so a lost frame means a sample did not decode);
//   - an error the decoder only logs counts as one it returns: a damaged parameter set in the
//     avcC record fails the open, though the samples' own parameter sets would decode.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "validator/validator_api.h"

#if defined(_WIN32)
#define VELTO_EXPORT extern "C" __declspec(dllexport)
#else
#define VELTO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Error-level messages of the decoder since the engine loaded us; nothing is printed.
uint64_t logged_errors;

void count_logged_error(void*, int level, const char*, va_list)
{
    if (level <= AV_LOG_ERROR)
        logged_errors++;
}

struct Session {
    AVCodecContext* codec;
    AVPacket* packet;
    AVFrame* frame;
    uint64_t samples;
    uint64_t frames;
    uint64_t failing_sample;
    uint32_t corrupt;
    int failed;
};

void fill_result(const Session* s, validator::ValidatorResult* r)
{
    if (!r)
        return;
    r->samples_received = s->samples;
    r->frames_decoded = s->frames;
    r->failing_sample = s->failing_sample;
    r->corrupt_frames = s->corrupt;
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
        if ((s->frame->flags & AV_FRAME_FLAG_CORRUPT) || s->frame->decode_error_flags != 0) {
            if (s->corrupt != UINT32_MAX)
                s->corrupt++;
        }
        av_frame_unref(s->frame);
    }
}

void free_session(Session* s)
{
    av_frame_free(&s->frame);
    av_packet_free(&s->packet);
    avcodec_free_context(&s->codec);
    std::free(s);
}

}  // namespace

VELTO_EXPORT uint32_t velto_xavc_get_abi() { return validator::validator_abi; }

VELTO_EXPORT void* velto_xavc_open(const validator::ValidatorOpenParams* params)
{
    if (!params || params->version != validator::validator_abi)
        return nullptr;
    if (std::memcmp(params->format, "avc1", 4) != 0 && std::memcmp(params->format, "avc3", 4) != 0)
        return nullptr;
    if (params->config_address == 0 || params->config_length < 7)
        return nullptr;
    // The engine's console lines are read by the front end; the decoder's own messages stay out
    // and are only counted.
    av_log_set_level(AV_LOG_ERROR);
    av_log_set_callback(count_logged_error);
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!decoder)
        return nullptr;
    auto* s = static_cast<Session*>(std::calloc(1, sizeof(Session)));
    if (!s)
        return nullptr;
    s->failing_sample = validator::no_failing_sample;
    s->codec = avcodec_alloc_context3(decoder);
    s->packet = av_packet_alloc();
    s->frame = av_frame_alloc();
    if (!s->codec || !s->packet || !s->frame) {
        free_session(s);
        return nullptr;
    }
    // The avcC record tells the decoder that samples are 4-byte length-prefixed NAL units.
    const auto* config = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(params->config_address));
    s->codec->extradata = static_cast<uint8_t*>(av_mallocz(params->config_length + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!s->codec->extradata) {
        free_session(s);
        return nullptr;
    }
    std::memcpy(s->codec->extradata, config, params->config_length);
    s->codec->extradata_size = static_cast<int>(params->config_length);
    // One thread, so an error belongs to the sample just sent; errors explode instead of being
    // concealed, and damaged frames are handed out (and counted) rather than silently dropped.
    s->codec->thread_count = 1;
    s->codec->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CAREFUL;
    s->codec->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
    s->codec->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
    uint64_t errors_before = logged_errors;
    if (avcodec_open2(s->codec, decoder, nullptr) < 0 || logged_errors != errors_before) {
        free_session(s);
        return nullptr;
    }
    return s;
}

VELTO_EXPORT int velto_xavc_push(void* handle, const uint8_t* data, uint64_t size, uint64_t index)
{
    auto* s = static_cast<Session*>(handle);
    if (!s)
        return -1;
    s->samples++;
    if (s->failed)
        return -1;
    if (!data || size == 0 || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE ||
        av_new_packet(s->packet, static_cast<int>(size)) < 0) {
        s->failed = 1;
        s->failing_sample = index;
        return -1;
    }
    std::memcpy(s->packet->data, data, static_cast<size_t>(size));
    uint64_t errors_before = logged_errors;
    int rc = avcodec_send_packet(s->codec, s->packet);
    av_packet_unref(s->packet);
    if (rc < 0 || !receive_frames(s) || logged_errors != errors_before) {
        s->failed = 1;
        s->failing_sample = index;
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
    if (ok) {
        uint64_t errors_before = logged_errors;
        int rc = avcodec_send_packet(s->codec, nullptr);
        if (rc < 0 && rc != AVERROR_EOF)
            ok = 0;
        else if (!receive_frames(s) || logged_errors != errors_before)
            ok = 0;
    }
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

// The first picture of a recording for the report: a decoder of its own, one thread, no error
// explosion, and the first frame it hands out without a decode error flag, scaled down.
#include "validator/library/velto_thumbnail.h"

#include <cstring>

#include "validator/library/velto_validate.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#if defined(_WIN32)
#define VELTO_EXPORT extern "C" __declspec(dllexport)
#else
#define VELTO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace velto {

namespace {

uint8_t clamp_byte(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// One plane sample at (x, y) of a plane of `depth` bits, brought to 8 bits.
int plane_sample(const AVFrame* f, int plane, int x, int y, int depth)
{
    const uint8_t* row = f->data[plane] + ptrdiff_t(y) * f->linesize[plane];
    if (depth <= 8)
        return row[x];
    uint16_t v;
    std::memcpy(&v, row + 2 * x, 2);
    return v >> (depth - 8);
}

AVCodecContext* open_decoder(const validator::ValidatorOpenParams* params)
{
    int id = decoder_for_format(params->format);
    const auto* record = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(params->config_address));
    if (!id || !record_usable(id, record, params->config_length))
        return nullptr;
    const AVCodec* decoder = avcodec_find_decoder(static_cast<AVCodecID>(id));
    AVCodecContext* c = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    if (!c)
        return nullptr;
    c->extradata = static_cast<uint8_t*>(av_mallocz(params->config_length + AV_INPUT_BUFFER_PADDING_SIZE));
    if (c->extradata) {
        std::memcpy(c->extradata, record, params->config_length);
        c->extradata_size = int(params->config_length);
    }
    c->thread_count = 1;
    if (!c->extradata || avcodec_open2(c, decoder, nullptr) < 0) {
        avcodec_free_context(&c);
        return nullptr;
    }
    return c;
}

// The first frame without a decode error, fed sample by sample and then drained; 1 when found.
int first_clean_frame(AVCodecContext* c, const uint8_t* bytes, const uint64_t* sizes, uint64_t count, AVFrame* frame)
{
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        return 0;
    int found = 0;
    uint64_t at = 0;
    for (uint64_t i = 0; i <= count && !found; i++) {
        int sent;
        if (i < count) {
            if (sizes[i] == 0 || sizes[i] > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE ||
                av_new_packet(packet, int(sizes[i])) < 0)
                break;
            std::memcpy(packet->data, bytes + at, size_t(sizes[i]));
            at += sizes[i];
            sent = avcodec_send_packet(c, packet);
            av_packet_unref(packet);
        } else {
            sent = avcodec_send_packet(c, nullptr);  // the end: the frames the decoder still holds
        }
        if (sent < 0 && sent != AVERROR(EAGAIN) && i < count)
            continue;
        while (!found && avcodec_receive_frame(c, frame) == 0) {
            if (!(frame->flags & AV_FRAME_FLAG_CORRUPT) && frame->decode_error_flags == 0)
                found = 1;
            else
                av_frame_unref(frame);
        }
    }
    av_packet_free(&packet);
    return found;
}

}  // namespace

void fit_inside(uint32_t w, uint32_t h, uint32_t max_w, uint32_t max_h, uint32_t* out_w, uint32_t* out_h)
{
    uint64_t ow = max_w, oh = uint64_t(h) * max_w / (w ? w : 1);
    if (oh > max_h) {
        oh = max_h;
        ow = uint64_t(w) * max_h / (h ? h : 1);
    }
    *out_w = uint32_t(ow ? ow : 1);
    *out_h = uint32_t(oh ? oh : 1);
}

int frame_to_rgb(const AVFrame* frame, uint8_t* out, uint32_t width, uint32_t height)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (!d || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) || (d->flags & AV_PIX_FMT_FLAG_RGB) || d->nb_components < 3 ||
        d->comp[0].depth > 16 || frame->width <= 0 || frame->height <= 0)
        return 0;
    int depth = d->comp[0].depth;
    // the camera's streams are limited range; the "j" formats are full range
    int full = frame->color_range == AVCOL_RANGE_JPEG;
    for (uint32_t y = 0; y < height; y++) {
        int sy = int(uint64_t(y) * uint64_t(frame->height) / height);
        for (uint32_t x = 0; x < width; x++) {
            int sx = int(uint64_t(x) * uint64_t(frame->width) / width);
            int luma = plane_sample(frame, d->comp[0].plane, sx, sy, depth);
            int cb = plane_sample(frame, d->comp[1].plane, sx >> d->log2_chroma_w, sy >> d->log2_chroma_h, depth) - 128;
            int cr = plane_sample(frame, d->comp[2].plane, sx >> d->log2_chroma_w, sy >> d->log2_chroma_h, depth) - 128;
            int l = full ? luma * 256 : (luma - 16) * 298;
            uint8_t* p = out + (size_t(y) * width + x) * 3;
            p[0] = clamp_byte((l + 409 * cr + 128) >> 8);
            p[1] = clamp_byte((l - 100 * cb - 208 * cr + 128) >> 8);
            p[2] = clamp_byte((l + 516 * cb + 128) >> 8);
        }
    }
    return 1;
}

}  // namespace velto

using namespace velto;

VELTO_EXPORT int velto_xavc_thumbnail(const validator::ValidatorOpenParams* params, const uint8_t* samples,
                                      const uint64_t* sizes, uint64_t count, validator::ValidatorThumbnail* out)
{
    if (!params || !out || params->version != validator::validator_abi || out->version != validator::validator_abi ||
        !samples || !sizes || count == 0 || !out->rgb || out->max_width == 0 || out->max_height == 0 ||
        out->rgb_capacity / 3 / out->max_width < out->max_height)
        return -1;
    AVCodecContext* c = open_decoder(params);
    if (!c)
        return -1;
    AVFrame* frame = av_frame_alloc();
    int rc = -1;
    if (frame && first_clean_frame(c, samples, sizes, count, frame)) {
        fit_inside(uint32_t(frame->width), uint32_t(frame->height), out->max_width, out->max_height, &out->width,
                   &out->height);
        out->picture_width = uint32_t(frame->width);
        out->picture_height = uint32_t(frame->height);
        if (frame_to_rgb(frame, out->rgb, out->width, out->height))
            rc = 0;
    }
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return rc;
}

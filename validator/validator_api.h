#pragma once
// The decode-validator library's interface: its version, the records it takes and gives, and the
// types of its six exports.
#include <cstddef>
#include <cstdint>

namespace validator {

constexpr uint32_t validator_abi = 0x10000;
constexpr uint64_t no_failing_sample = ~uint64_t(0);

struct ValidatorOpenParams {
    uint32_t version;     // 0x10000
    char format[4];       // sample-entry type as stored: avc1, avc3, hvc1 or hev1
    uint32_t reserved0;   // 0
    uint32_t one;         // 1
    uint64_t config_address;  // the avcC or hvcC box body
    uint32_t config_length;
    uint32_t reserved1;   // 0
};

struct ValidatorResult {
    uint32_t version;  // 0x10000, set by the caller
    uint32_t reserved0;
    uint64_t reserved1;
    uint64_t samples_received;
    uint64_t frames_decoded;
    uint64_t failing_sample;  // all ones (or all ones minus one) when none
    uint32_t corrupt_frames;
};

// The optional seventh export, "velto_xavc_thumbnail": the first picture of a few samples,
// scaled down, for the report. A library without it still serves the decode check.
struct ValidatorThumbnail {
    uint32_t version;       // 0x10000, set by the caller
    uint32_t max_width;     // the picture is scaled to fit max_width x max_height, keeping its shape
    uint32_t max_height;
    uint32_t width;         // filled: the scaled picture's size
    uint32_t height;
    uint32_t picture_width;   // filled: the decoded picture's size
    uint32_t picture_height;
    uint32_t reserved;
    uint8_t* rgb;           // the caller's buffer: 3 bytes a pixel, rows top down
    uint64_t rgb_capacity;  // at least max_width * max_height * 3
};
constexpr char thumbnail_export_name[] = "velto_xavc_thumbnail";

// The optional eighth export, "velto_xavc_open_threads": "velto_xavc_open" with the most frame
// threads the caller grants the decoder (a picture of memory each; 0: as many as the library
// picks). A library without it is opened the documented way, on threads of its own choosing.
constexpr char open_threads_export_name[] = "velto_xavc_open_threads";

using GetAbiFn = uint32_t (*)();
using OpenFn = void* (*)(const ValidatorOpenParams*);
using PushFn = int (*)(void*, const uint8_t*, uint64_t, uint64_t);
using FinishFn = int (*)(void*, ValidatorResult*);
using GetResultFn = int (*)(void*, ValidatorResult*);
using CloseFn = void (*)(void*);
// Arguments: the open parameters of the track, the samples one after another, their sizes and
// count, the picture to fill; 0 when a picture was decoded and scaled.
using OpenThreadsFn = void* (*)(const ValidatorOpenParams*, uint32_t);
using ThumbnailFn = int (*)(const ValidatorOpenParams*, const uint8_t*, const uint64_t*, uint64_t, ValidatorThumbnail*);

}  // namespace validator

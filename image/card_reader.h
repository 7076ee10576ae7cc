#pragma once
// The one way the engine reads its source. A card brought for recovery is often failing: its
// reader answers a read that touches a bad sector with an I/O error, every failed read can take
// seconds, and every pass may be the card's last. So a failed read never ends anything: it is
// taken apart down to the sector, the bytes that read are used, and the ones that do not are
// remembered as unknown, never read again and never taken for zeros that mean something.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/unreadable_map.h"

namespace image {

// From now until card_detach, what does not read in `image` is remembered; `image_size` is
// where the card ends.
void card_attach(std::FILE* image, uint64_t image_size);
void card_detach();
// The attached card's unknown stretches; an empty map when none is attached.
const UnreadableMap* card_map();
// Marks a stretch unknown without reading it: what a mapfile or the scan cache says of the card.
void card_mark_unknown(uint64_t offset, uint64_t length, char status, uint8_t cause);
// Reads that failed since the card was attached.
uint64_t card_failed_reads();

// Told of each stretch as the reader finds it unreadable.
using UnreadableListener = void (*)(void* context, uint64_t offset, uint64_t length);
void card_listen(UnreadableListener listener, void* context);

// Told of every stretch of bytes the card gives, as it gives them (the image saver).
using ReadSink = void (*)(void* context, uint64_t offset, const uint8_t* bytes, size_t n);
void card_keep_reads(ReadSink sink, void* context);

// Reads bytes [offset, offset + n) of `image` into `buf`: every byte the card gives. Bytes it
// does not give are zero in `buf`, and *unknown (when not null) counts them. Returns how many
// of the n bytes lie inside the file: all n, or fewer when it ends first (the rest is zero too).
uint64_t card_read(std::FILE* image, uint64_t offset, void* buf, uint64_t n, uint64_t* unknown);
// 1 when bytes [offset, offset + n) read whole, in one read that is not taken apart when it
// fails: for a look at a few bytes far from where the scan reads, which must not start naming a
// stretch from its middle (the scan comes to it from its start).
int card_glance(std::FILE* image, uint64_t offset, void* buf, uint64_t n);
// 1 when a byte of [offset, offset + n) of the attached card is known to be unknown.
int card_touches_unreadable(std::FILE* image, uint64_t offset, uint64_t n);
// The first byte in [offset, limit) known to be unknown, or `limit`.
uint64_t card_known_until(std::FILE* image, uint64_t offset, uint64_t limit);

// Names the unreadable spans of the attached card that touch [offset, offset + n), for a
// recording's line: "unreadable 4096 bytes at 0x3D7F30", with " and N more" when there are more;
// 0 (and `out` empty) when none does.
int describe_unreadable(uint64_t offset, uint64_t n, char* out, size_t cap);

// The system's positioned read, as platform::read_positioned; tests put a failing card here.
using DeviceRead = int (*)(std::FILE* f, uint64_t offset, void* buf, size_t n, size_t* got, unsigned long* error);
void card_use_device(DeviceRead read);

}  // namespace image

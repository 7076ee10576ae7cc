#include "rebuild/image_copy.h"

#include <algorithm>
#include <cstdlib>

#include "basics/checked_alloc.h"
#include "image/card_reader.h"
#include "image/read_at.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"
#include "rebuild/spool.h"

namespace rebuild {

namespace {

// With `silenced`, bytes the card does not give (found now or before) are written as silence
// and counted there.
int read_then_write(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset, uint8_t* buf,
                    size_t length, uint64_t* silenced)
{
    uint64_t unknown = 0;
    int read = silenced ? image::read_known(src, src_offset, buf, length, &unknown)
                        : image::read_at(src, src_offset, buf, length);
    if (silenced)
        *silenced += unknown;
    // A buffered write fails only when it is flushed: flushed here, its failure is this piece's.
    return read && platform::seek_abs(dst, dst_offset) && std::fwrite(buf, 1, length, dst) == length &&
           std::fflush(dst) == 0;
}

}  // namespace

int copy_through(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset, uint8_t* buf,
                 size_t length)
{
    // bytes already in place are only read, for the caller
    if (spool_in_place(dst, src_offset, dst_offset, length)) {
        int ok = image::read_at(src, src_offset, buf, length);
        spool_note(dst, dst_offset, length, 0, ok);
        return ok;
    }
    int ok = read_then_write(src, src_offset, dst, dst_offset, buf, length, nullptr);
    spool_note(dst, dst_offset, length, 1, ok);
    return ok;
}

int copy_piece(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset, uint8_t* buf,
               size_t length, uint64_t* silenced)
{
    int unknown = image::card_touches_unreadable(src, src_offset, length);
    if (unknown && !silenced)
        return 0;
    // a spooled file holds zeros where the card did not read: silence too
    if (spool_in_place(dst, src_offset, dst_offset, length)) {
        if (unknown)
            *silenced += image::map_unknown_bytes(image::card_map(), src_offset, length);
        spool_note(dst, dst_offset, length, 0, 1);
        return 1;
    }
    // the system's copy would copy what an imaging left in unread places
    uint64_t moved = unknown ? 0 : platform::copy_range_in_system(src, src_offset, dst, dst_offset, length);
    int ok = moved == length || read_then_write(src, src_offset + moved, dst, dst_offset + moved, buf,
                                                static_cast<size_t>(length - moved), silenced);
    spool_note(dst, dst_offset, length, 1, ok);
    return ok;
}

uint64_t copy_image_range(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset,
                          uint64_t length, uint64_t* silenced)
{
    // no larger than the copy needs: most ranges are a sound chunk or a header, which a heap
    // block holds without a mapping of its own
    auto* buf = static_cast<uint8_t*>(basics::xmalloc(static_cast<size_t>(std::min(length, copy_piece_limit)) + 1));
    uint64_t done = 0;
    while (done < length) {
        uint64_t piece = length - done < copy_piece_limit ? length - done : copy_piece_limit;
        if (src_offset > UINT64_MAX - done || dst_offset > UINT64_MAX - done)
            break;
        if (!copy_piece(src, src_offset + done, dst, dst_offset + done, buf, static_cast<size_t>(piece), silenced))
            break;
        done += piece;
    }
    std::free(buf);
    return done;
}

}  // namespace rebuild

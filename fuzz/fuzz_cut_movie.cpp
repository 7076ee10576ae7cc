// Hostile box sizes and tables for the joiner of movie boxes a run boundary cut: the input's first
// bytes choose the cluster size, the heap's place, where the box starts, a piece of another file
// and the clip's media data; the rest is the image. A box, when joined, is cut at a cluster edge
// inside it, its rest starts at a later cluster's start inside the image and off the other file's
// piece, its bytes are the image's at those two places, and every chunk lies in the media data.
#include <cstring>
#include <vector>

#include "basics/byte_order.h"
#include "fuzz/fuzz_support.h"
#include "salvage/cut_movie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // the cluster size and heap, the box's start and the other file's piece, the media data
    image::ImageGeometry g;
    std::FILE* image = fuzz::open_card(data, size, 2 + 2 * 2 + 2 * 4, &g);
    if (!image)
        return 0;
    uint64_t at = uint64_t(basics::load_le16(data + 2)) * 16, taken_begin = uint64_t(basics::load_le16(data + 4)) * 16;
    uint64_t taken_end = taken_begin + 64;
    uint64_t mdat_begin = basics::load_le32(data + 6), mdat_end = basics::load_le32(data + 10);
    salvage::TakenBytes taken = {&taken_begin, &taken_end, size_t(data[1] & 2 ? 1 : 0)};
    mp4::MovieInfo m;
    if (salvage::join_cut_movie(image, size, &g, at, mdat_begin, mdat_end, &taken, &m)) {
        uint64_t head = m.moov_head, rest = m.moov_size - head;
        if (head == 0 || head >= m.moov_size || (at + head - g.heap_offset) % g.cluster_bytes != 0 ||
            (m.moov_tail - g.heap_offset) % g.cluster_bytes != 0 || m.moov_tail <= at + head || m.moov_tail > size ||
            size - m.moov_tail < rest)
            fuzz::broken("a joined movie box is cut off a cluster edge or its rest lies outside the image");
        if (taken.count && m.moov_tail < taken_end && taken_begin < m.moov_tail + rest)
            fuzz::broken("the rest of a joined movie box lies on another file's piece");
        if (std::memcmp(m.moov_bytes, data + at, head) != 0 ||
            std::memcmp(m.moov_bytes + head, data + m.moov_tail, rest) != 0)
            fuzz::broken("a joined movie box is not the image's bytes");
        const mp4::TrackTables* tracks[] = {&m.video, &m.audio, &m.other};
        const uint32_t present[] = {m.has_video, m.has_audio, m.has_other};
        for (int t = 0; t < 3; t++)
            for (uint64_t k = 0; present[t] && k < tracks[t]->chunk_count; k++)
                if (tracks[t]->chunk_offsets[k] < mdat_begin || tracks[t]->chunk_offsets[k] > mdat_end ||
                    tracks[t]->chunk_sizes[k] > mdat_end - tracks[t]->chunk_offsets[k])
                    fuzz::broken("a joined movie box places a chunk outside the media data");
        mp4::free_movie_info(&m);
    }
    std::fclose(image);
    return 0;
}

#include "tools/mkcard_moov.h"

#include <utility>

namespace mkcard {

namespace {

void put_matrix(Bytes& b)
{
    const uint32_t m[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m)
        put_be32(b, v);
}

void put_tkhd(Bytes& b, const TrackDesc& t)
{
    size_t at = open_full_box(b, "tkhd", 0, 7);
    put_be32(b, 0);
    put_be32(b, 0);
    put_be32(b, t.track_id);
    put_be32(b, 0);
    put_be32(b, static_cast<uint32_t>(t.movie_duration));
    put_zeros(b, 8);
    put_be16(b, 0);  // layer
    put_be16(b, 0);  // alternate group
    put_be16(b, t.kind == TrackKind::sound ? 0x0100 : 0);
    put_be16(b, 0);
    put_matrix(b);
    put_be32(b, t.width << 16);
    put_be32(b, t.height << 16);
    close_box(b, at);
}

void put_mdhd(Bytes& b, const TrackDesc& t)
{
    size_t at = open_full_box(b, "mdhd", 0, 0);
    put_be32(b, 0);
    put_be32(b, 0);
    put_be32(b, t.timescale);
    put_be32(b, static_cast<uint32_t>(t.duration));
    put_be16(b, 0x55C4);  // undetermined language
    put_be16(b, 0);
    close_box(b, at);
}

void put_hdlr(Bytes& b, const char* type, const char* name)
{
    size_t at = open_full_box(b, "hdlr", 0, 0);
    put_be32(b, 0);
    put_text(b, type);
    put_zeros(b, 12);
    put_text(b, name);
    put_u8(b, 0);
    close_box(b, at);
}

void put_media_header(Bytes& b, TrackKind kind)
{
    size_t at;
    if (kind == TrackKind::video) {
        at = open_full_box(b, "vmhd", 0, 1);
        put_zeros(b, 8);
    } else if (kind == TrackKind::sound) {
        at = open_full_box(b, "smhd", 0, 0);
        put_zeros(b, 4);
    } else {
        at = open_full_box(b, "nmhd", 0, 0);
    }
    close_box(b, at);
    size_t dinf = open_box(b, "dinf");
    size_t dref = open_full_box(b, "dref", 0, 0);
    put_be32(b, 1);
    size_t url = open_full_box(b, "url ", 0, 1);
    close_box(b, url);
    close_box(b, dref);
    close_box(b, dinf);
}

void put_edts(Bytes& b, const TrackDesc& t)
{
    size_t edts = open_box(b, "edts");
    size_t at = open_full_box(b, "elst", 0, 0);
    put_be32(b, 1);
    put_be32(b, static_cast<uint32_t>(t.movie_duration));
    put_be32(b, t.edit_media_time);
    put_be32(b, 0x00010000);  // media rate 1.0
    close_box(b, at);
    close_box(b, edts);
}

// stss and ctts, as the camera writes them behind stts for a reordered stream.
void put_sync_and_offsets(Bytes& b, const TrackDesc& t)
{
    size_t at;
    if (!t.sync.empty()) {
        at = open_full_box(b, "stss", 0, 0);
        uint32_t count = 0;
        for (uint8_t k : t.sync)
            count += k;
        put_be32(b, count);
        for (size_t i = 0; i < t.sync.size(); i++)
            if (t.sync[i])
                put_be32(b, static_cast<uint32_t>(i + 1));
        close_box(b, at);
    }
    if (t.composition_offsets.empty())
        return;
    std::vector<std::pair<uint32_t, uint32_t>> runs;  // (count, offset)
    for (uint32_t o : t.composition_offsets)
        if (!runs.empty() && runs.back().second == o)
            runs.back().first++;
        else
            runs.emplace_back(1, o);
    at = open_full_box(b, "ctts", 0, 0);
    put_be32(b, static_cast<uint32_t>(runs.size()));
    for (const auto& r : runs) {
        put_be32(b, r.first);
        put_be32(b, r.second);
    }
    close_box(b, at);
}

// One entry for each run of chunks of one sample count.
void put_stsc(Bytes& b, const TrackDesc& t)
{
    size_t at = open_full_box(b, "stsc", 0, 0);
    if (t.chunk_samples.empty()) {
        put_be32(b, 1);
        put_be32(b, 1);
        put_be32(b, t.samples_per_chunk);
        put_be32(b, 1);
        close_box(b, at);
        return;
    }
    size_t count_at = b.size();
    put_be32(b, 0);
    uint32_t entries = 0;
    for (size_t j = 0; j < t.chunk_samples.size(); j++) {
        if (j && t.chunk_samples[j] == t.chunk_samples[j - 1])
            continue;
        put_be32(b, static_cast<uint32_t>(j + 1));
        put_be32(b, t.chunk_samples[j]);
        put_be32(b, 1);
        entries++;
    }
    set_be32(b.data() + count_at, entries);
    close_box(b, at);
}

void put_stbl(Bytes& b, const TrackDesc& t)
{
    size_t stbl = open_box(b, "stbl");
    size_t at = open_full_box(b, "stsd", 0, 0);
    put_be32(b, 1);
    put_bytes(b, t.sample_entry);
    close_box(b, at);
    at = open_full_box(b, "stts", 0, 0);
    put_be32(b, 1);
    put_be32(b, t.sample_count);
    put_be32(b, t.sample_delta);
    close_box(b, at);
    put_sync_and_offsets(b, t);
    put_stsc(b, t);
    at = open_full_box(b, "stsz", 0, 0);
    put_be32(b, t.constant_size);
    put_be32(b, t.sample_count);
    if (t.constant_size == 0)
        for (uint32_t s : t.sizes)
            put_be32(b, s);
    close_box(b, at);
    at = open_full_box(b, t.co64 ? "co64" : "stco", 0, 0);
    put_be32(b, static_cast<uint32_t>(t.chunk_offsets.size()));
    for (uint64_t off : t.chunk_offsets) {
        if (t.co64)
            put_be64(b, off);
        else
            put_be32(b, static_cast<uint32_t>(off));
    }
    close_box(b, at);
    close_box(b, stbl);
}

} // namespace

Bytes build_trak(const TrackDesc& t)
{
    static const char* const handlers[] = {"vide", "soun", "meta"};
    static const char* const names[] = {"Video Media Handler", "Sound Media Handler", "Timed Metadata Media Handler"};
    int k = static_cast<int>(t.kind);
    Bytes b;
    size_t trak = open_box(b, "trak");
    put_tkhd(b, t);
    if (t.edit_list)
        put_edts(b, t);
    size_t mdia = open_box(b, "mdia");
    put_mdhd(b, t);
    put_hdlr(b, handlers[k], names[k]);
    size_t minf = open_box(b, "minf");
    put_media_header(b, t.kind);
    put_stbl(b, t);
    close_box(b, minf);
    close_box(b, mdia);
    close_box(b, trak);
    return b;
}

Bytes build_moov(uint64_t creation_1904, uint32_t movie_timescale, uint64_t movie_duration,
                 uint32_t next_track_id, const std::vector<Bytes>& traks, bool large_header)
{
    Bytes b;
    size_t moov = open_box(b, "moov");
    if (large_header) {
        set_be32(b.data(), 1);
        put_be64(b, 0);
    }
    size_t at = open_full_box(b, "mvhd", 0, 0);
    put_be32(b, static_cast<uint32_t>(creation_1904));
    put_be32(b, static_cast<uint32_t>(creation_1904));
    put_be32(b, movie_timescale);
    put_be32(b, static_cast<uint32_t>(movie_duration));
    put_be32(b, 0x00010000);
    put_be16(b, 0x0100);
    put_zeros(b, 10);
    put_matrix(b);
    put_zeros(b, 24);
    put_be32(b, next_track_id);
    close_box(b, at);
    for (const Bytes& t : traks)
        put_bytes(b, t);
    if (large_header)
        set_be64(b.data() + 8, b.size());
    else
        close_box(b, moov);
    return b;
}

Bytes visual_sample_entry(bool hevc, uint32_t width, uint32_t height, const Bytes& config)
{
    Bytes b;
    size_t at = open_box(b, hevc ? "hvc1" : "avc1");
    put_zeros(b, 6);
    put_be16(b, 1);
    put_zeros(b, 16);
    put_be16(b, width);
    put_be16(b, height);
    put_be32(b, 0x00480000);
    put_be32(b, 0x00480000);
    put_be32(b, 0);
    put_be16(b, 1);
    put_zeros(b, 32);
    put_be16(b, 0x0018);
    put_be16(b, 0xFFFF);
    size_t cfg = open_box(b, hevc ? "hvcC" : "avcC");
    put_bytes(b, config);
    close_box(b, cfg);
    close_box(b, at);
    return b;
}

Bytes sound_sample_entry(SoundFormat format)
{
    Bytes b;
    if (format.sample_bytes == 2) {
        size_t at = open_box(b, "twos");
        put_zeros(b, 6);
        put_be16(b, 1);
        put_zeros(b, 8);
        put_be16(b, format.channels);
        put_be16(b, 16);  // bits per sample
        put_zeros(b, 4);
        put_be32(b, 48000u << 16);
        close_box(b, at);
        return b;
    }
    // wider samples: linear PCM in a version 2 description, which states the layout in full
    size_t at = open_box(b, "lpcm");
    put_zeros(b, 6);
    put_be16(b, 1);
    put_be16(b, 2);  // version
    put_zeros(b, 6);
    put_be16(b, 3);
    put_be16(b, 16);
    put_be16(b, 0xFFFE);
    put_be16(b, 0);
    put_be32(b, 0x00010000);
    put_be32(b, 72);  // the description without its box header
    put_be64(b, 0x40E7700000000000ull);  // 48000.0
    put_be32(b, format.channels);
    put_be32(b, 0x7F000000);
    put_be32(b, 8 * format.sample_bytes);
    put_be32(b, 0x0E);  // big-endian, signed, packed
    put_be32(b, format.frame_bytes());
    put_be32(b, 1);  // frames a packet
    close_box(b, at);
    return b;
}

Bytes metadata_sample_entry()
{
    Bytes b;
    size_t at = open_box(b, "rtmd");
    put_zeros(b, 6);
    put_be16(b, 1);
    close_box(b, at);
    return b;
}

} // namespace mkcard

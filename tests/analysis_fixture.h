#pragma once
// Builders for kkad boxes and camera-like recordings (their movie boxes by the card generator), temporary folders and image
// files that check their bytes are unchanged when a test is done with them. Shared by the tests and the analysis bench.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/candidates.h"
#include "analysis/chunk_locate.h"
#include "analysis/recording_runs.h"
#include "image/scan_index.h"
#include "mp4/sample_tables.h"
#include "tools/mkcard_moov.h"
#include "tools/mkcard_recording.h"

// GCC 12 reports vector growth in these builders as an overflow after inlining (a known false
// positive of -Wstringop-overflow); the builders only append.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif

namespace fixture {

// Bytes and their writers are the card generator's.
using mkcard::Bytes;

inline Bytes box(const char* type, const Bytes& payload)
{
    Bytes b;
    mkcard::put_be32(b, uint32_t(8 + payload.size()));
    mkcard::put_text(b, type);
    mkcard::put_bytes(b, payload);
    return b;
}

inline Bytes boxes(const std::vector<Bytes>& children)
{
    Bytes b;
    for (const Bytes& c : children)
        mkcard::put_bytes(b, c);
    return b;
}

// A full box payload: version, three flag bytes, then the fields.
inline Bytes full(uint8_t version, const std::vector<uint32_t>& fields)
{
    Bytes b = {version, 0, 0, 0};
    for (uint32_t f : fields)
        mkcard::put_be32(b, f);
    return b;
}

// A track of one of the camera's kinds, built by the card generator: `count` samples of
// `constant_size` bytes (or of `sizes`), `per_chunk` to a chunk, the chunks at `offsets`.
inline Bytes make_trak(mkcard::TrackKind kind, uint32_t count, uint32_t per_chunk, const std::vector<uint64_t>& offsets,
                       uint32_t constant_size, const std::vector<uint32_t>& sizes = {})
{
    mkcard::TrackDesc t;
    t.kind = kind;
    t.timescale = 60000, t.sample_delta = 1001, t.sample_count = count, t.duration = uint64_t(count) * 1001;
    t.samples_per_chunk = per_chunk, t.constant_size = constant_size, t.sizes = sizes, t.chunk_offsets = offsets;
    t.sample_entry = kind == mkcard::TrackKind::video   ? mkcard::visual_sample_entry(false, 1920, 1080, {})
                     : kind == mkcard::TrackKind::sound ? mkcard::sound_sample_entry()
                                                        : mkcard::metadata_sample_entry();
    return mkcard::build_trak(t);
}

inline Bytes make_moov(uint32_t creation_time, const std::vector<Bytes>& traks)
{
    return mkcard::build_moov(creation_time, 1000, 0, uint32_t(traks.size() + 1), traks, false);
}

struct Date { uint32_t year, month, day, hour, minute, second; };

using Description = mkcard::KkadDescription;

// A kkad box of `size` bytes, written by the card generator.
inline Bytes make_kkad(uint16_t sequence, uint32_t tag, Date d, const std::vector<Description>& descs,
                       uint32_t size = 768)
{
    Bytes b(size, 0);
    const unsigned date[6] = {d.year, d.month, d.day, d.hour, d.minute, d.second};
    mkcard::write_kkad_box(b.data(), size, sequence, tag, date, descs);
    return b;
}

// A chunk's sample sizes as the engine's searches take them.
inline mp4::SampleSizes stored_sizes(const std::vector<uint32_t>& sizes)
{
    return mp4::SampleSizes{sizes.data(), 0, sizes.size()};
}

// One AVC sample: an access-unit delimiter and one coded slice filling `size` bytes (>= 11).
inline Bytes avc_sample(uint32_t size, bool key)
{
    Bytes b = {0, 0, 0, 2, 0x09, 0x10};
    mkcard::put_be32(b, size - 10);
    b.push_back(key ? 0x65 : 0x41);
    b.resize(size, 0x11);
    return b;
}

struct RecordingSpec {
    uint32_t chunks = 4;
    Date date = {2024, 2, 29, 12, 34, 56};
    int movie_shift_hours = 0;   // creation time minus the kkad time
    uint32_t tag = 0x1234;
    uint32_t seed = 1;           // varies the video sample sizes
    uint32_t audio_bytes = 1920;  // 0: no sound track
    uint32_t video_base = 200;    // smallest video sample; sizes run up to 399 above it
};

// The twelve sample sizes of one video chunk.
inline std::vector<uint32_t> video_sizes(const RecordingSpec& r, uint32_t chunk)
{
    std::vector<uint32_t> sizes;
    for (uint32_t i = 0; i < 12; i++)
        sizes.push_back(r.video_base + (r.seed * 7919u + chunk * 12u * 37u + i * 37u) % 400u);
    return sizes;
}

inline uint64_t unix_time(Date d)
{
    std::chrono::sys_days day{std::chrono::year(int(d.year)) / std::chrono::month(d.month) / std::chrono::day(d.day)};
    return uint64_t(day.time_since_epoch().count()) * 86400 + d.hour * 3600 + d.minute * 60 + d.second;
}

// ftyp, mdat with metadata/video/audio chunks per 12-frame group, then the movie box, laid out
// as the camera writes a clip file. video_at receives the file offset of every video chunk.
inline Bytes make_recording(const RecordingSpec& r, std::vector<uint64_t>* video_at = nullptr)
{
    Bytes f;
    mkcard::put_be32(f, 24), mkcard::put_text(f, "ftypXAVC"), mkcard::put_be32(f, 0), mkcard::put_text(f, "XAVCmp42");
    size_t mdat_at = f.size();
    mkcard::put_be32(f, 0), mkcard::put_text(f, "mdat");
    std::vector<uint64_t> meta_off, video_off, audio_off;
    std::vector<uint32_t> vsizes;
    for (uint32_t j = 0; j < r.chunks; j++) {
        meta_off.push_back(f.size());
        Bytes meta(12 * 1536, 0);
        std::vector<Description> descs;
        if (j > 0) {
            Description d{video_off[j - 1], {}};
            std::copy(vsizes.end() - 12, vsizes.end(), d.sizes);
            descs = {d, d};
        }
        Bytes k = make_kkad(uint16_t(j), r.tag, r.date, descs);
        std::memcpy(&meta[11 * 1536], k.data(), k.size());
        mkcard::put_bytes(f, meta);
        video_off.push_back(f.size());
        for (uint32_t size : video_sizes(r, j)) {
            mkcard::put_bytes(f, avc_sample(size, f.size() == video_off.back()));
            vsizes.push_back(size);
        }
        audio_off.push_back(f.size());
        f.resize(f.size() + r.audio_bytes, 0);
    }
    mkcard::set_be32(f.data() + mdat_at, uint32_t(f.size() - mdat_at));
    uint32_t created = uint32_t(unix_time(r.date) + 2082844800ull + int64_t(r.movie_shift_hours) * 3600);
    std::vector<Bytes> traks = {make_trak(mkcard::TrackKind::video, r.chunks * 12, 12, video_off, 0, vsizes),
                                make_trak(mkcard::TrackKind::metadata, r.chunks * 12, 12, meta_off, 1536)};
    if (r.audio_bytes)
        traks.insert(traks.begin() + 1, make_trak(mkcard::TrackKind::sound, r.chunks * r.audio_bytes / 4,
                                                  r.audio_bytes / 4, audio_off, 4));
    mkcard::put_bytes(f, make_moov(created, traks));
    if (video_at)
        *video_at = video_off;
    return f;
}

inline std::string read_file(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline uint64_t fnv1a(const void* bytes, size_t n, uint64_t h = 0xcbf29ce484222325ull)
{
    for (size_t i = 0; i < n; i++)
        h = (h ^ static_cast<const uint8_t*>(bytes)[i]) * 0x100000001b3ull;
    return h;
}

// Read a piece at a time: some test images are large.
inline uint64_t file_hash(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::vector<char> piece(1 << 20);
    uint64_t h = fnv1a(nullptr, 0);
    while (f.read(piece.data(), std::streamsize(piece.size())) || f.gcount() > 0)
        h = fnv1a(piece.data(), size_t(f.gcount()), h);
    return h;
}

template <class Range>
inline void write_file(const std::filesystem::path& p, const Range& data)
{
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// A fresh folder under /tmp, removed with everything in it.
struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/mendora_test_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// Every signature hit in `bytes`, found the slow way, as the raw scan would record them.
template <class Range>
inline void index_signatures(const Range& bytes, image::ScanIndex* index)
{
    auto at = [&](size_t i, const char* sig, size_t n) {
        return i + n <= bytes.size() && std::memcmp(&bytes[i], sig, n) == 0;
    };
    for (size_t i = 0; i < bytes.size(); i++) {
        if (at(i, "ftypXAVC", 8))
            image::record_hit(&index->xavc_hits, i);
        if (at(i, "kkad", 4))
            image::record_hit(&index->kkad_hits, i);
        if (at(i, "moov", 4))
            image::record_hit(&index->moov_hits, i);
    }
}

// The hits of an index: clip headers, kkad boxes, movie boxes.
using Hits = std::vector<std::vector<uint64_t>>;

inline Hits hits_of(const image::ScanIndex& index)
{
    Hits all;
    for (const image::OffsetList* l : {&index.xavc_hits, &index.kkad_hits, &index.moov_hits})
        all.emplace_back(l->items, l->items + l->count);
    return all;
}

// A list of the engine, freed when the test is done with it.
template <class List>
struct Owned : List {
    Owned() = default;
    Owned(const Owned&) = delete;
    ~Owned() { basics::list_free(this); }
};

// A temporary image file opened read-only; when the test is done with it, its bytes on disk must
// be the ones it was made with.
struct TempImage {
    TempDir dir;
    std::string path = (dir.path / "card.img").string();
    std::FILE* f = nullptr;
    uint64_t size = 0;
    uint64_t made_hash;
    std::string label;
    template <class Range>
    explicit TempImage(const Range& bytes, std::string name = "") : size(bytes.size()), label(std::move(name))
    {
        write_file(path, bytes);
        made_hash = file_hash(path);
        f = std::fopen(path.c_str(), "rb");
    }
    uint64_t hash() const { return file_hash(path); }
    ~TempImage()
    {
        std::fclose(f);
        EXPECT_EQ(file_hash(path), made_hash) << label << ": the source image changed";
    }
};

// An image validated and its recordings built as the driver does it, freed when the test is done.
struct ImageAnalysis {
    image::ScanIndex index{};
    Owned<analysis::ClipHeaderList> headers;
    Owned<analysis::MarkerList> markers;
    Owned<analysis::MovieList> movies;
    Owned<analysis::RunList> runs;
    Owned<analysis::PairList> pairs;
    analysis::ClipList clips{};
    ImageAnalysis(const Bytes& image, const TempImage& file)
    {
        index_signatures(image, &index);
        analysis::validate_candidates(file.f, file.size, &index, &headers, &markers, &movies);
        analysis::build_recordings(&headers, &markers, &movies, &runs, &pairs, &clips);
    }
    ImageAnalysis(const ImageAnalysis&) = delete;
    ~ImageAnalysis()
    {
        analysis::free_clips(&clips);
        for (size_t i = 0; i < movies.count; i++)
            mp4::free_movie_info(&movies.items[i]);
        image::free_scan_index(&index);
        analysis::release_read_buffers();
    }
};

}  // namespace fixture

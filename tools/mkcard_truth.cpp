#include "tools/mkcard_truth.h"

#include "tools/mkcard_fs_truth.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace mkcard {

namespace {

bool overlaps(uint64_t b, uint64_t e, const PlacedRecording& p)
{
    return p.damage_begin < p.damage_end && b < p.damage_end && p.damage_begin < e;
}

void add_range(Ranges& r, uint64_t b, uint64_t e)
{
    if (b >= e)
        return;
    if (!r.empty() && r.back().second == b)
        r.back().second = e;
    else
        r.emplace_back(b, e);
}

std::string ranges_json(const Ranges& r)
{
    std::string s = "[";
    for (size_t i = 0; i < r.size(); i++) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s[%llu, %llu]", i ? ", " : "", (unsigned long long)r[i].first,
                      (unsigned long long)r[i].second);
        s += buf;
    }
    return s + "]";
}

const char* damage_name(Damage d)
{
    switch (d) {
    case Damage::hole: return "hole";
    case Damage::moov_lost: return "moov-lost";
    case Damage::truncate: return "truncated";
    case Damage::power_loss: return "power-loss";
    case Damage::cut_media: return "cut-media";
    case Damage::cluster_hole: return "cluster-hole";
    default: return "none";
    }
}

// Every video chunk but the last is looked for around the kkad box that describes it, the box of
// the metadata chunk behind it: the generator's boxes describe their chunk twice, and a box of two
// hits is searched 16 MiB either side of its marker. A chunk that lies farther from its box in the
// image, as a fragment boundary between the two may leave it, is not found.
constexpr uint64_t box_search_bytes = uint64_t(16) << 20;

bool found_by_box(const Card& card, const PlacedRecording& p, size_t j)
{
    const Recording& r = p.rec;
    if (j + 1 >= r.video.size())
        return true;
    uint64_t marker = image_offset_of(card, p, r.meta[j + 1].offset + 11 * meta_sample_bytes + 4);
    uint64_t at = image_offset_of(card, p, r.video[j].offset);
    uint64_t end = std::min(marker + box_search_bytes, card.image_size);
    return at + box_search_bytes >= marker && at + 4 < end;
}

// The last video chunk is described by no kkad box; it is found behind the chunk before it, so
// damage to either of the last two chunks, a fragment boundary cutting either, or the one before
// the last lying out of its box's reach leaves the recording incomplete.
bool tail_damaged(const Card& card, const PlacedRecording& p)
{
    const std::vector<Chunk>& v = p.rec.video;
    for (size_t j = v.size() >= 2 ? v.size() - 2 : 0; j < v.size(); j++)
        if (overlaps(v[j].offset, v[j].offset + v[j].size, p) ||
            !contiguous_in_image(card, p, v[j].offset, v[j].offset + v[j].size) || !found_by_box(card, p, j))
            return true;
    return false;
}

// Video chunks the documented rules do not find where the camera wrote them: out of their kkad
// box's reach.
size_t chunks_out_of_reach(const Card& card, const PlacedRecording& p)
{
    size_t out = 0;
    for (size_t j = 0; j < p.rec.video.size(); j++)
        out += !found_by_box(card, p, j);
    return out;
}

// 1 when file bytes [begin, end) of a placed recording are on the card as the camera wrote them:
// not overwritten and not past the end of the image.
bool intact(const Card& card, const PlacedRecording& p, uint64_t begin, uint64_t end)
{
    if (overlaps(begin, end, p))
        return false;
    uint64_t cs = card.cluster_bytes;
    for (uint64_t x = begin; x < end; x = (x / cs + 1) * cs)
        if (image_offset_of(card, p, std::min(end, (x / cs + 1) * cs) - 1) >= card.image_size)
            return false;
    return true;
}


// Chunks of `chunks` cut by a fragment boundary: the documented rules read a video chunk in one
// piece from where it starts, so they never place one of these.
size_t chunks_cut(const Card& card, const PlacedRecording& p, const std::vector<Chunk>& chunks)
{
    size_t cut = 0;
    for (const Chunk& c : chunks)
        cut += !contiguous_in_image(card, p, c.offset, c.offset + c.size);
    return cut;
}

// The pieces the recording lies in on the card: runs of clusters one after another in the image.
size_t runs_on_card(const Card& card, const PlacedRecording& p)
{
    size_t runs = 0;
    for (size_t u = 0; u < p.cluster_image_offset.size(); u++)
        runs += u == 0 || p.cluster_image_offset[u] != p.cluster_image_offset[u - 1] + card.cluster_bytes;
    return runs;
}

// A camera-like stream's kind and every video sample's presentation position in frames, counted
// from the first presented frame, in decode order.
std::string stream_json(const Recording& r)
{
    const VideoFormat& f = r.plan.video;
    VideoStream vs = recording_video(r.plan);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "     \"stream\": {\"codec\": \"%s\", \"bframes\": %u, \"gop\": %u, \"open_gop\": %s, "
                  "\"params_in_band\": %s},\n     \"video_pts\": [",
                  f.hevc ? "hevc" : "avc", f.bframes, f.gop ? f.gop : 12, f.open_gop ? "true" : "false",
                  f.params_out_of_band ? "false" : "true");
    std::string s = buf;
    uint32_t first = UINT32_MAX;
    for (uint32_t i = 0; i < r.plan.frames; i++)
        first = std::min(first, i + vs.offsets[i]);
    for (uint32_t i = 0; i < r.plan.frames; i++)
        s += (i ? ", " : "") + std::to_string(i + vs.offsets[i] - first);
    return s + "],\n";
}

// Where the recording's file lies in the image: [file offset, image offset, bytes] of each run of
// clusters that follow one another in both.
std::string extents_json(const Card& card, const PlacedRecording& p)
{
    uint64_t cs = card.cluster_bytes, size = p.rec.file_size;
    std::string s = "     \"extents\": [";
    for (uint64_t u = 0, first = 0; u * cs < size; u++) {
        uint64_t next = u + 1;
        if (next * cs < size && p.cluster_image_offset[next] == p.cluster_image_offset[u] + cs)
            continue;
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s[%llu, %llu, %llu]", first ? ", " : "", (unsigned long long)(first * cs),
                      (unsigned long long)p.cluster_image_offset[first],
                      (unsigned long long)(std::min(next * cs, size) - first * cs));
        s += buf;
        first = next;
    }
    return s + "],\n";
}

// Every sample the camera recorded, for judging what salvage keeps: per video sample its offset
// in the recording, size, whether it is a key frame and whether its bytes are intact on the card;
// the sound chunks (offset, samples of sound_frame_bytes) and the runs of intact sound samples.
std::string samples_json(const Card& card, const PlacedRecording& p)
{
    const Recording& r = p.rec;
    std::string s = "     \"video_samples\": [", split;
    char buf[128];
    size_t i = 0;
    for (const Chunk& c : r.video)
        for (uint64_t at = c.offset; at < c.offset + c.size; i++) {
            uint32_t size = r.video_sizes[i];
            bool on_card = intact(card, p, at, at + size), in_one_piece = contiguous_in_image(card, p, at, at + size);
            std::snprintf(buf, sizeof buf, "%s[%llu, %u, %d, %d]", i ? ", " : "", (unsigned long long)at, size,
                          r.video_key[i], on_card && in_one_piece ? 1 : 0);
            s += buf;
            if (on_card && !in_one_piece)
                split += (split.empty() ? "" : ", ") + std::to_string(i);
            at += size;
        }
    // samples whose bytes are all on the card in two pieces a fragment boundary cut apart
    s += "],\n     \"video_samples_split\": [" + split + "],\n";
    if (camera_like(r.plan.video))
        s += stream_json(r);
    s += "     \"sound_chunks\": [";
    Ranges runs;
    uint64_t first = 0;
    const uint64_t fb = r.plan.sound_format.frame_bytes();
    for (size_t j = 0; j < r.audio.size(); j++) {
        const Chunk& a = r.audio[j];
        std::snprintf(buf, sizeof buf, "%s[%llu, %llu]", j ? ", " : "", (unsigned long long)a.offset,
                      (unsigned long long)(a.size / fb));
        s += buf;
        for (uint64_t k = 0; k < a.size / fb; k++)
            if (intact(card, p, a.offset + fb * k, a.offset + fb * k + fb))
                add_range(runs, first + k, first + k + 1);
        first += a.size / fb;
    }
    char rate[96];
    if (r.plan.video.rate_den == 1)
        std::snprintf(rate, sizeof rate, "%u", r.plan.video.rate_num);
    else
        std::snprintf(rate, sizeof rate, "%.9f, \"frame_rate_fraction\": [%u, %u]",
                      static_cast<double>(r.plan.video.rate_num) / r.plan.video.rate_den, r.plan.video.rate_num, r.plan.video.rate_den);
    char tail[256];
    std::snprintf(tail, sizeof tail, "],\n     \"frame_rate\": %s, \"sound_rate\": 48000, \"sound_dithered\": %s,\n",
                  rate, r.plan.dithered_sound ? "true" : "false");
    std::snprintf(buf, sizeof buf, "     \"sound_frame_bytes\": %llu, \"sound_channels\": %u,\n", (unsigned long long)fb,
                  r.plan.sound_format.channels);
    return s + tail + buf + "     \"sound_intact\": " + ranges_json(runs) + ",\n";
}

// The recording as `view` shows it, written through a buffer of a few megabytes.
int write_view(const std::string& path, const Recording& r, const VideoStream& vs, FileView view)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    uint64_t size = r.mdat_end + (view.moov ? view.moov : &r.moov_keep)->size();
    Bytes buf(std::min<uint64_t>(size, 8u << 20));
    int ok = 1;
    for (uint64_t at = 0; ok && at < size; at += buf.size()) {
        uint64_t n = std::min<uint64_t>(buf.size(), size - at);
        recording_bytes(r, vs, at, buf.data(), n, view);
        ok = std::fwrite(buf.data(), 1, n, f) == n;
    }
    return std::fclose(f) == 0 && ok;
}

} // namespace

FileView expected_view(const Recording& r, bool keep_metadata)
{
    return FileView{true, keep_metadata ? &r.moov_keep : &r.moov_plain};
}

Ranges known_ranges(const Card& card, const PlacedRecording& p, bool keep_metadata, size_t* audio_known)
{
    size_t audio = 0;
    const Recording& r = p.rec;
    Ranges k;
    add_range(k, 0, r.header_length);
    size_t n = r.video.size();
    for (size_t j = 0; j < n; j++) {
        add_range(k, r.meta[j].offset, r.meta[j].offset + r.meta[j].size);
        const Chunk& v = r.video[j];
        const Chunk& a = r.audio[j];
        // a video chunk cut by a fragment boundary is not where its start puts it
        if (!overlaps(v.offset, v.offset + v.size, p) && contiguous_in_image(card, p, v.offset, v.offset + v.size) &&
            found_by_box(card, p, j))
            add_range(k, v.offset, v.offset + v.size);
        // a sound chunk is only found when it lies in one piece behind its video chunk, up to the
        // kkad box that follows (or, for the last one, up to its own end)
        uint64_t end = j + 1 < n ? r.meta[j + 1].offset + 11 * meta_sample_bytes + 8 : a.offset + a.size;
        if (contiguous_in_image(card, p, v.offset, end) && !overlaps(v.offset, end, p)) {
            add_range(k, a.offset, a.offset + a.size);
            audio++;
        }
    }
    uint64_t moov = (keep_metadata ? r.moov_keep : r.moov_plain).size();
    add_range(k, r.mdat_end, r.mdat_end + moov);
    if (audio_known)
        *audio_known = audio;
    return k;
}

void write_truth(const Card& card, const std::string& dir, const std::string& scenario, bool copies)
{
    if (copies)
        run_command("mkdir -p '" + dir + "/recordings' '" + dir + "/expected' '" + dir + "/expected_keep'");
    std::vector<const PlacedRecording*> order;
    for (const PlacedRecording& p : card.placed)
        order.push_back(&p);
    std::sort(order.begin(), order.end(), [](const PlacedRecording* a, const PlacedRecording* b) {
        return a->cluster_image_offset[0] < b->cluster_image_offset[0];
    });
    size_t clips = 0, recoverable = 0;
    std::string recs;
    for (size_t i = 0; i < order.size(); i++) {
        const PlacedRecording& p = *order[i];
        const Recording& r = p.rec;
        char out_name[256];
        std::snprintf(out_name, sizeof out_name, "XAVC_%04zu_%s.MP4", i + 1, r.time_text.c_str());
        bool recover = !p.lost && !tail_damaged(card, p);
        bool holed = p.what.damage == Damage::hole || p.what.damage == Damage::cluster_hole;
        size_t cut = chunks_cut(card, p, r.video);
        size_t far = chunks_out_of_reach(card, p);
        bool validated = recover && !holed && cut == 0 && far == 0;
        clips += !p.lost;
        recoverable += recover;
        if (copies) {
            VideoStream vs = recording_video(r.plan);
            if (!write_view(dir + "/recordings/" + p.what.name + ".MP4", r, vs, FileView{}))
                die("cannot write the recording " + p.what.name);
            if (recover) {
                write_view(dir + "/expected/" + out_name, r, vs, expected_view(r, false));
                write_view(dir + "/expected_keep/" + out_name, r, vs, expected_view(r, true));
            }
        }
        char head[1024];
        std::snprintf(head, sizeof head,
                      "    {\"name\": \"%s\", \"clip_number\": %zu, \"output_name\": \"%s\", \"codec\": \"%s\", "
                      "\"frames\": %u, \"tz_hours\": %d, \"video_chunks\": %zu, \"damage\": \"%s\", \"recover\": %s, "
                      "\"recover_validator\": %s, \"image_offset\": %llu, \"size\": %zu, "
                      "\"output_size\": %zu, \"output_size_keep\": %zu,\n",
                      p.what.name.c_str(), i + 1, out_name, r.plan.video.hevc ? "hevc" : "avc", r.plan.frames,
                      r.plan.tz_hours,
                      r.video.size(), damage_name(p.what.damage), recover ? "true" : "false",
                      validated ? "true" : "false", (unsigned long long)p.cluster_image_offset[0], (size_t)r.file_size,
                      r.mdat_end + r.moov_plain.size(), r.mdat_end + r.moov_keep.size());
        recs += head;
        size_t audio_known = 0;
        recs += "     \"known\": " + ranges_json(known_ranges(card, p, false, &audio_known)) + ",\n";
        recs += "     \"known_keep\": " + ranges_json(known_ranges(card, p, true, nullptr)) + ",\n";
        recs += extents_json(card, p);
        recs += samples_json(card, p);
        recs += "     \"file\": " + recording_file_json(card, size_t(&p - card.placed.data())) + ",\n";
        recs += "     \"video_chunks_cut\": " + std::to_string(cut) + ", \"video_chunks_out_of_reach\": " +
                std::to_string(chunks_out_of_reach(card, p)) + ",\n";
        recs += "     \"runs\": " + std::to_string(runs_on_card(card, p)) + ", \"sound_chunks_cut\": " +
                std::to_string(chunks_cut(card, p, r.audio)) + ", \"kkad_cut\": " +
                std::to_string(chunks_cut(card, p, r.meta)) + (r.plan.timeless_kkad ? ", \"kkad_time\": false" : "") +
                ",\n";
        recs += "     \"audio_chunks_known\": " + std::to_string(audio_known) + "}";
        recs += i + 1 < order.size() ? ",\n" : "\n";
    }
    char head[512];
    std::snprintf(head, sizeof head,
                  "{\n  \"scenario\": \"%s\",\n  \"image\": \"card.img\",\n  \"image_size\": %llu,\n"
                  "  \"cluster_bytes\": %llu,\n  \"clips\": %zu,\n  \"recoverable_clips\": %zu,\n"
                  "  \"recordings\": [\n",
                  scenario.c_str(), (unsigned long long)card.image_size, (unsigned long long)card.cluster_bytes,
                  clips, recoverable);
    std::string json = head + recs + "  ],\n  \"file_system\": " + file_system_json(card) + "\n}\n";
    if (!write_file(dir + "/truth.json", reinterpret_cast<const uint8_t*>(json.data()), json.size()))
        die("cannot write truth.json");
}

} // namespace mkcard

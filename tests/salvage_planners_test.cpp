#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "analysis/candidates.h"
#include "analysis/chunk_locate.h"
#include "analysis/final_chunks.h"
#include "analysis/fingerprint_map.h"
#include "salvage/plan_with_movie.h"
#include "analysis/recording_runs.h"
#include "salvage/plan_without_movie.h"
#include "image/exfat_detect.h"
#include "image/raw_scan.h"
#include "image/scan_index.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_card.h"
#include "tools/mkcard_scenarios.h"

namespace {

using fixture::Bytes;

// Cuts, holes of whole clusters, lost chunks, movie boxes lost beside other recordings and files in
// pieces are the damage campaign's (tests/e2e/test_damage_campaign.py): these rows keep what it
// does not make, holes that begin inside a sample and refusals by the decode check.

// Where each byte of a recording's file went on the card, and back.
struct Truth {
    const mkcard::Card* card;
    const mkcard::PlacedRecording* placed;
    std::map<uint64_t, uint64_t> cluster_of_image;  // image offset of a cluster -> its index in the file

    Truth(const mkcard::Card* c, const mkcard::PlacedRecording* p) : card(c), placed(p)
    {
        for (uint64_t u = 0; u < p->cluster_image_offset.size(); u++)
            cluster_of_image[p->cluster_image_offset[u]] = u;
    }

    // The file offset of image byte `at` when it belongs to the recording.
    bool file_offset(uint64_t at, uint64_t* out) const
    {
        uint64_t cs = card->cluster_bytes;
        auto it = cluster_of_image.upper_bound(at);
        if (it == cluster_of_image.begin())
            return false;
        --it;
        if (at - it->first >= cs)
            return false;
        *out = it->second * cs + (at - it->first);
        return true;
    }
};

struct Tally {
    uint64_t video_kept = 0, sound_kept = 0, sound_due = 0, wrong = 0;
};

// Every kept piece must be the recording's own bytes: video pieces whole samples in recording
// order, sound pieces inside the sound chunk behind a kept video chunk, exactly the sound due
// while its pictures show (at 1001 rates a chunk's frames do not share its sound evenly).
Tally check_plan(const salvage::SalvagePlan& plan, const Truth& t, const Bytes& image, const std::string& name)
{
    const mkcard::Recording& rec = t.placed->rec;
    std::map<uint64_t, uint64_t> sample_at;  // file offset of each video sample -> its index
    uint64_t i = 0;
    for (const mkcard::Chunk& c : rec.video) {
        uint64_t at = c.offset;
        for (uint32_t k = 0; k < 12; k++, i++) {
            sample_at[at] = i;
            at += rec.video_sizes[i];
        }
    }
    Tally tally;
    int64_t last_video = -1;
    // picture and sound stay in step: a chunk's sound follows its pictures, and once a kept chunk
    // has no sound, no later one may have any
    int64_t video_chunk = -1, sound_chunk = -1;
    bool sound_ended = false;
    const uint64_t fb = rec.plan.sound_format.frame_bytes();
    auto due = [&rec](uint64_t frames) { return mkcard::pcm_frames_due(rec.plan, frames); };
    uint64_t sound_at = 0, sound_end = 0;  // where the sound of the last video piece lies in the file
    bool sound_open = false;
    for (uint64_t p = 0; p < plan.piece_count; p++) {
        const salvage::SalvagePiece& piece = plan.pieces[p];
        uint64_t file = 0;
        bool mapped = t.file_offset(piece.image_offset, &file) && file + piece.length <= rec.file.size() &&
                      mkcard::contiguous_in_image(*t.card, *t.placed, file, file + piece.length) &&
                      piece.image_offset + piece.length <= image.size() &&
                      std::equal(image.begin() + piece.image_offset, image.begin() + piece.image_offset + piece.length,
                                 rec.file.begin() + file);
        if (!mapped) {
            ADD_FAILURE() << name << ": piece " << p << " is not the recording's bytes";
            tally.wrong++;
            continue;
        }
        if (piece.track == salvage::salvage_video) {
            auto it = sample_at.find(file);
            if (it == sample_at.end()) {
                ADD_FAILURE() << name << ": piece " << p << " starts inside a sample";
                tally.wrong++;
                continue;
            }
            EXPECT_GT(int64_t(it->second), last_video) << name << ": piece " << p << " out of order";
            EXPECT_TRUE(!sound_open || sound_at == sound_end) << name << ": the sound before piece " << p << " ends "
                                                              << int64_t(sound_at - sound_end) << " bytes off";
            uint64_t from = it->second, to = it->second + piece.sample_count, chunk = from / 12;
            sound_at = rec.audio[chunk].offset + fb * (due(from) - due(chunk * 12));
            sound_end = rec.audio[chunk].offset + fb * (due(to) - due(chunk * 12));
            sound_open = false;
            tally.sound_due += due(to) - due(from);
            uint64_t bytes = 0;
            for (uint64_t k = 0; k < piece.sample_count; k++) {
                EXPECT_EQ(plan.tracks[0].sample_sizes[piece.first_sample + k], rec.video_sizes[it->second + k])
                    << name << ": sample " << it->second + k;
                bytes += rec.video_sizes[it->second + k];
            }
            EXPECT_EQ(bytes, piece.length) << name;
            last_video = int64_t(it->second + piece.sample_count - 1);
            tally.video_kept += piece.sample_count;
            sound_ended |= video_chunk >= 0 && sound_chunk != video_chunk;
            video_chunk = int64_t(it->second / 12);
        } else {
            int64_t inside = -1;
            for (size_t j = 0; j < rec.audio.size(); j++) {
                const mkcard::Chunk& a = rec.audio[j];
                if (file >= a.offset && file + piece.length <= a.offset + a.size && (file - a.offset) % 4 == 0)
                    inside = int64_t(j);
            }
            EXPECT_GE(inside, 0) << name << ": sound piece " << p << " is not inside a sound chunk";
            EXPECT_EQ(inside, video_chunk) << name << ": sound piece " << p << " is not behind its pictures";
            EXPECT_FALSE(sound_ended) << name << ": sound piece " << p << " after a kept chunk without sound";
            EXPECT_EQ(int64_t(file - sound_at), 0) << name << ": sound piece " << p << " is not its pictures' time";
            sound_at = file + piece.length, sound_open = true;
            sound_chunk = inside;
            tally.sound_kept += piece.sample_count;
        }
    }
    EXPECT_TRUE(!sound_open || sound_at == sound_end) << name << ": the last sound ends "
                                                      << int64_t(sound_at - sound_end) << " bytes off";
    return tally;
}

// The video samples that end before file offset `cut`.
uint64_t whole_before(const mkcard::Recording& rec, uint64_t cut)
{
    uint64_t count = 0;
    for (size_t c = 0; c < rec.video.size(); c++) {
        uint64_t end = rec.video[c].offset;
        for (size_t k = c * 12; k < c * 12 + 12; k++)
            count += (end += rec.video_sizes[k]) <= cut;
    }
    return count;
}

// The sample entry box of type `type` in the camera's movie box.
Bytes entry_in(const Bytes& moov, const char* type)
{
    auto at = std::search(moov.begin(), moov.end(), type, type + 4);
    if (at - moov.begin() < 4 || at == moov.end())
        return {};
    uint32_t size = mkcard::get_be32(&*(at - 4));
    return Bytes(at - 4, at - 4 + size);
}

Bytes entry_of(const salvage::SalvageTrack& t) { return Bytes(t.sample_entry, t.sample_entry + t.sample_entry_size); }

// A card made from `plan` and analysed up to the recovery clips, as the engine does before salvage.
struct Analysed {
    fixture::TempDir dir;
    mkcard::Card card;
    Bytes image;
    std::unique_ptr<fixture::TempImage> file;  // the image as the test damaged it
    std::FILE* f = nullptr;
    image::ScanIndex index = {};
    fixture::Owned<analysis::ClipHeaderList> headers;
    fixture::Owned<analysis::MarkerList> markers;
    fixture::Owned<analysis::MovieList> movies;
    fixture::Owned<analysis::RunList> runs;
    fixture::Owned<analysis::PairList> pairs;
    analysis::ClipList clips = {};

    explicit Analysed(const mkcard::CardPlan& plan)
    {
        std::string path = (dir.path / "card.img").string();
        mkcard::make_card(plan, path, dir.path.string(), &card);
        std::string bytes = fixture::read_file(path);
        image.assign(bytes.begin(), bytes.end());
    }
    void analyse(bool map_chunks)
    {
        file = std::make_unique<fixture::TempImage>(image);
        f = file->f;
        image::raw_scan(f, image.size(), 1 << 20, 0, &index);
        analysis::validate_candidates(f, image.size(), &index, &headers, &markers, &movies);
        analysis::build_recordings(&headers, &markers, &movies, &runs, &pairs, &clips);
        if (map_chunks) {
            analysis::map_fingerprints(f, image.size(), &markers, &clips);
            analysis::resolve_final_chunks(f, image.size(), &clips);
        }
    }
    ~Analysed()
    {
        image::free_scan_index(&index);
        for (size_t i = 0; i < movies.count; i++)
            mp4::free_movie_info(&movies.items[i]);
        analysis::free_clips(&clips);
        analysis::release_read_buffers();
    }
};

struct SalvageCase {
    const char* name;
    mkcard::CardPlan plan;
    size_t damaged;            // the recording whose movie box is gone
    int hole_chunk;            // >= 0: a hole from the middle of this video chunk on, zeroed
    uint64_t video_expected;   // samples of it the plan must keep; 0: all but what the hole takes
    uint64_t gaps;
    uint64_t hole_fraction = 4;  // the hole's size: this fraction of the chunk, at least 3 bytes
    int64_t refused = -1;        // >= 0: planned again with this kept sample refused by the decode check
    bool foreign = false;        // the hole holds other bytes, none of them zero, not zeros
};

mkcard::CardPlan lone(bool hevc, uint32_t frames, uint32_t rate_num = 25, uint32_t rate_den = 1)
{
    mkcard::CardPlan p;
    p.recordings.push_back(mkcard::plain_recording(0, frames));
    p.recordings[0].plan.video.hevc = hevc;
    p.recordings[0].plan.video.rate_num = rate_num, p.recordings[0].plan.video.rate_den = rate_den;
    p.recordings[0].damage = mkcard::Damage::moov_lost;
    return p;
}

TEST(AnalysisSalvageTables, PlansKeepOnlyTheRecordingsOwnBytes)
{
    const SalvageCase cases[] = {
        {"HEVC, no sibling", lone(true, 48), 0, -1, 48, 0},
        {"AVC, no sibling", lone(false, 36), 0, -1, 36, 0},
        {"a refused sample leaves the rest of its chunk", lone(false, 48), 0, -1, 48, 1, 4, 17},
        {"a hole in the third chunk", lone(false, 72), 0, 2, 0, 1},
        // foreign bytes keep the damaged sample's units escaped: only the next delimiter tells
        {"a hole of foreign bytes in the third chunk", lone(false, 72), 0, 2, 0, 1, 4, -1, true},
        {"a hole of foreign bytes in the first chunk", lone(true, 48), 0, 0, 0, 1, 4, -1, true},
        // no description gives the last chunk's end, so its sound cannot be placed
        {"a hole in the last chunk", lone(true, 48), 0, 3, 36, 0},
        {"a hole in the first chunk", lone(false, 48), 0, 0, 0, 1},
        {"three zero bytes inside a sample", lone(false, 48), 0, 1, 0, 1, 1u << 30},
        // at 29.97 the picture kept in front of the refused one takes the sound due while it shows
        {"a refused sample at 29.97", lone(false, 48, 30000, 1001), 0, -1, 48, 1, 4, 25},
    };
    for (const SalvageCase& c : cases) {
        Analysed a(c.plan);
        const mkcard::Card& card = a.card;
        Bytes& image = a.image;
        const mkcard::PlacedRecording& placed = card.placed[c.damaged];
        uint64_t expected = c.video_expected;
        if (c.hole_chunk >= 0) {
            const mkcard::Chunk& chunk = placed.rec.video[size_t(c.hole_chunk)];
            uint64_t file = chunk.offset + chunk.size / 2;
            uint64_t from = mkcard::image_offset_of(card, placed, file);
            uint64_t to = from + std::max<uint64_t>(chunk.size / c.hole_fraction, 3);
            std::mt19937 random(5);
            for (uint64_t at = from; at < to; at++)
                image[at] = c.foreign ? uint8_t(1 + random() % 255) : 0;
            // of the damaged chunk, what stands before the hole is kept
            if (!c.video_expected)
                expected = placed.rec.video_sizes.size() - 12 + whole_before(placed.rec, file) - 12 * uint64_t(c.hole_chunk);
        }
        Truth truth(&card, &placed);
        a.analyse(false);
        salvage::SalvageAttemptList attempts = {};
        salvage::SalvageCard salvage_card = {a.f,        image.size(), nullptr, &a.index, &a.headers,
                                              &a.markers, &a.movies,    &a.runs,  &a.pairs,   0, nullptr};
        size_t n = salvage::build_plans_without_movie(&salvage_card, &attempts);
        ASSERT_EQ(n, 1u) << c.name;
        salvage::SalvageAttempt& attempt = attempts.items[0];
        ASSERT_TRUE(attempt.planned) << c.name << ": " << attempt.reason;
        const salvage::SalvagePlan& plan = attempt.plan;
        Tally tally = check_plan(plan, truth, image, c.name);
        if (c.refused >= 0) {
            uint64_t at = 0;
            ASSERT_TRUE(salvage::kept_sample_offset(&plan, uint64_t(c.refused), &at)) << c.name;
            salvage::SalvageAttempt again = {};
            const salvage::RefusedSamples refused = {&at, 1, 0, 0};
            ASSERT_TRUE(salvage::replan_without_movie(&salvage_card, attempt.clip_number, &refused, &again)) << c.name;
            salvage::free_salvage_plan(&attempts.items[0].plan);
            attempts.items[0] = again;
            tally = check_plan(again.plan, truth, image, c.name);
            expected -= 12 - uint64_t(c.refused) % 12;
        }
        EXPECT_EQ(tally.video_kept, expected) << c.name;
        // picture and sound last alike: every kept frame has its sound
        EXPECT_EQ(tally.sound_kept, tally.sound_due) << c.name;
        EXPECT_EQ(plan.video_gaps, c.gaps) << c.name;
        EXPECT_EQ(plan.tracks[0].kept_samples, tally.video_kept) << c.name;
        // the camera's own settings, whether a sibling lent them or the stream gave them
        const salvage::SalvageTrack& video = plan.tracks[salvage::salvage_video];
        const salvage::SalvageTrack& sound = plan.tracks[salvage::salvage_sound];
        bool hevc = placed.rec.plan.video.hevc;
        EXPECT_EQ(entry_of(video), entry_in(placed.rec.moov_keep, hevc ? "hvc1" : "avc1")) << c.name;
        EXPECT_EQ(entry_of(sound), entry_in(placed.rec.moov_keep, "twos")) << c.name;
        EXPECT_EQ(video.timescale * 1000 + video.sample_delta,
                  mkcard::video_timescale(placed.rec.plan) * 1000 + mkcard::video_frame_ticks(placed.rec.plan))
            << c.name;
        EXPECT_EQ(sound.timescale * 1000 + sound.sample_delta, 48000u * 1000 + 1) << c.name;
        // every chunk of twelve starts with a key frame, and nothing else is one
        uint64_t keys = 0;
        for (uint64_t i = 0; i < video.kept_samples; i++)
            keys += video.key_frames[i];
        EXPECT_EQ(keys, (tally.video_kept + 11) / 12) << c.name;
        EXPECT_EQ(plan.tracks[0].recording_samples, placed.rec.video_sizes.size()) << c.name;
        salvage::free_salvage_attempts(&attempts);
    }
}

// Clips whose movie box survived beside a hole of whole clusters and zeros inside a chunk: at 29.97
// the pictures kept of the chunk the zeros cut take the sound due while they show; a sound entry that names a format the
// camera never writes is left out, as the documented writer leaves it, and the pieces kept are
// the recording's own bytes.
TEST(AnalysisMovieSalvage, KeepsTheSoundOfItsPicturesOrLeavesAForeignFormatOut)
{
    const struct {
        const char* name;
        uint32_t rate_num, rate_den;
        bool foreign_sound;
    } cases[] = {{"foreign sound format", 25, 1, true}, {"a hole at 29.97", 30000, 1001, false}};
    for (const auto& c : cases) {
        mkcard::CardPlan plan;
        mkcard::scenario_plan("hole-clusters", &plan);
        for (mkcard::CardRecording& r : plan.recordings)
            r.plan.video.rate_num = c.rate_num, r.plan.video.rate_den = c.rate_den;
        Analysed a(plan);
        const mkcard::PlacedRecording& placed = a.card.placed[1];
        for (size_t at = 0; c.foreign_sound && at + 4 <= a.image.size(); at++)
            if (std::memcmp(&a.image[at], "twos", 4) == 0)
                a.image[at + 2] = 'n';
        // zeros from the middle of the second chunk on: the pictures in front of them are kept
        const mkcard::Chunk& second = placed.rec.video[1];
        uint64_t zeroed = mkcard::image_offset_of(a.card, placed, second.offset + second.size / 2);
        std::fill(a.image.begin() + zeroed, a.image.begin() + zeroed + second.size / 4, 0);
        Truth truth(&a.card, &placed);
        a.analyse(true);
        image::ImageGeometry geometry;
        ASSERT_TRUE(image::parse_boot_sector(a.image.data(), 0, &geometry));
        const analysis::RecoveryClip* clip = nullptr;
        for (size_t i = 0; i < a.clips.count; i++)
            if (a.clips.items[i].header->header_offset == mkcard::image_offset_of(a.card, placed, 0))
                clip = &a.clips.items[i];
        ASSERT_NE(clip, nullptr) << c.name;
        const salvage::SalvageCard card = {a.f, a.image.size(), &geometry, &a.index, &a.headers,
                                           &a.markers, &a.movies, &a.runs, &a.pairs, 0, nullptr};
        const salvage::RefusedSamples none = {nullptr, 0, 0, 0};
        salvage::SalvageAttempt salvage;
        ASSERT_TRUE(salvage::plan_with_movie(&card, clip, &none, &salvage)) << c.name << ": " << salvage.reason;
        Tally tally = check_plan(salvage.plan, truth, a.image, c.name);
        EXPECT_EQ(salvage.plan.tracks[salvage::salvage_sound].present, !c.foreign_sound) << c.name;
        EXPECT_EQ(tally.sound_kept, c.foreign_sound ? 0u : tally.sound_due) << c.name;
        EXPECT_GT(tally.video_kept, 0u) << c.name;
        EXPECT_EQ(salvage.plan.video_gaps, 2u) << c.name;
        salvage::free_salvage_plan(&salvage.plan);
    }
}

}  // namespace

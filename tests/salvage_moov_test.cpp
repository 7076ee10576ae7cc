#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "salvage/salvage_plan.h"
#include "basics/byte_order.h"
#include "mp4/box.h"
#include "mp4/sample_tables.h"
#include "salvage/salvage_moov.h"
#include "tools/mkcard_moov.h"

namespace {

struct PieceRow {
    uint32_t track;
    uint64_t samples;
    uint64_t file_offset;
};

struct Row {
    const char* name;
    std::vector<PieceRow> pieces;
    std::vector<uint8_t> key;  // per kept video sample
    const char* video_chunk_table;
    std::vector<uint32_t> sync;  // the sync-sample table's entries; none: no table
    uint64_t durations[3];       // movie, video and sound, each in its own time scale
};

constexpr uint64_t four_gib = 0x100000000ull;

// The plan's own sample entries, sizes 100 + i for video and 4 bytes for sound.
salvage::SalvagePlan plan_for(const Row& r, std::vector<uint8_t>* video_entry, std::vector<uint8_t>* sound_entry)
{
    salvage::SalvagePlan plan{};
    *video_entry = mkcard::visual_sample_entry(false, 256, 144, mkcard::Bytes{1, 0x64, 0, 0x1e, 0xff, 0xe0, 0});
    *sound_entry = mkcard::sound_sample_entry();
    uint64_t counts[2] = {0, 0};
    plan.pieces = new salvage::SalvagePiece[r.pieces.size()];
    for (const PieceRow& p : r.pieces) {
        plan.pieces[plan.piece_count++] = {p.track, 0, 0, 0, counts[p.track], p.samples, 0, 0};
        counts[p.track] += p.samples;
    }
    salvage::SalvageTrack* v = &plan.tracks[salvage::salvage_video];
    *v = {1, 2500, 100, video_entry->data(), uint32_t(video_entry->size()), 0, new uint32_t[counts[0]],
          const_cast<uint8_t*>(r.key.data()), counts[0], counts[0], 0, nullptr, 0, 0};
    for (uint64_t i = 0; i < counts[0]; i++)
        v->sample_sizes[i] = uint32_t(100 + i);
    if (counts[1])
        plan.tracks[salvage::salvage_sound] = {1, 48000, 1, sound_entry->data(), uint32_t(sound_entry->size()), 4,
                                                nullptr, nullptr, counts[1], counts[1], counts[1], nullptr, 0, 0};
    return plan;
}

// The track of the written movie box with `handler`, read back by the engine's own table reader.
bool read_track(const salvage::SalvageMoov& moov, const char* handler, mp4::TrackTables* out,
                std::vector<uint32_t>* sync, char* chunk_table)
{
    mp4::BoxHeader top, trak, stbl;
    mp4::read_box_header_mem(moov.bytes, moov.length, 0, &top);
    for (uint64_t at = top.header_size; at + 8 <= top.size; at += trak.size) {
        mp4::read_box_header_mem(moov.bytes, top.size, at, &trak);
        char kind[5] = {0};
        if (!mp4::type_is(trak.type, "trak") || !mp4::read_track_handler(moov.bytes, moov.length, &trak, kind) ||
            std::strcmp(kind, handler) != 0)
            continue;
        mp4::BoxHeader mdia, minf, b;
        mp4::find_child_box(moov.bytes, moov.length, trak.offset + 8, trak.offset + trak.size, "mdia", &mdia);
        mp4::find_child_box(moov.bytes, moov.length, mdia.offset + 8, mdia.offset + mdia.size, "minf", &minf);
        mp4::find_child_box(moov.bytes, moov.length, minf.offset + 8, minf.offset + minf.size, "stbl", &stbl);
        sync->clear();
        if (mp4::find_child_box(moov.bytes, moov.length, stbl.offset + 8, stbl.offset + stbl.size, "stss", &b))
            for (uint32_t i = 0; i < basics::load_be32(moov.bytes + b.offset + 12); i++)
                sync->push_back(basics::load_be32(moov.bytes + b.offset + 16 + 4 * i));
        std::strcpy(chunk_table, mp4::find_child_box(moov.bytes, moov.length, stbl.offset + 8, stbl.offset + stbl.size,
                                                     "co64", &b) ? "co64" : "stco");
        return mp4::parse_track(moov.bytes, moov.length, &trak, out) != 0;
    }
    return false;
}

TEST(SalvageMoov, TablesReadBackAsThePlanLaidThePiecesOut)
{
    // video: 25 frames a second in a time scale of 2500; sound: 48000 samples a second
    const Row rows[] = {
        {"every sample a key frame: no sync table, 32-bit offsets",
         {{0, 3, 36}, {1, 10, 363}, {0, 3, 403}}, {1, 1, 1, 1, 1, 1}, "stco", {}, {600, 600, 10}},
        {"frames that are not key frames ask for a sync table, numbered from 1",
         {{0, 2, 36}, {0, 3, 500}}, {1, 0, 1, 0, 1}, "stco", {1, 3, 5}, {500, 500, 0}},
        {"sound that outlasts the picture sets the movie's duration", {{0, 1, 36}, {1, 4800, 136}}, {1}, "stco", {},
         {250, 100, 4800}},
        {"a piece at the last 32-bit offset keeps stco", {{0, 1, 36}, {0, 1, four_gib - 1}}, {1, 1}, "stco", {},
         {200, 200, 0}},
        {"a piece one byte further needs co64", {{0, 1, 36}, {0, 1, four_gib}}, {1, 1}, "co64", {}, {200, 200, 0}},
        {"runs of equal pieces and a short one between them", {{0, 12, 36}, {0, 12, 5000}, {0, 5, 9000}, {0, 12, 12000}},
         std::vector<uint8_t>(41, 1), "stco", {}, {4100, 4100, 0}},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> video_entry, sound_entry;
        salvage::SalvagePlan plan = plan_for(r, &video_entry, &sound_entry);
        std::vector<uint64_t> offsets;
        for (const PieceRow& p : r.pieces)
            offsets.push_back(p.file_offset);
        salvage::SalvageMoov moov{};
        ASSERT_TRUE(salvage::build_salvage_moov(&plan, offsets.data(), &moov)) << r.name;
        // mvhd comes first: its time scale and duration follow the two 32-bit times
        EXPECT_EQ(basics::load_be32(moov.bytes + 28), 2500u) << r.name;
        EXPECT_EQ(basics::load_be32(moov.bytes + 32), r.durations[0]) << r.name;
        for (uint32_t track = 0; track < 2; track++) {
            std::vector<uint64_t> want_offsets, want_counts;
            for (const PieceRow& p : r.pieces)
                if (p.track == track) {
                    want_offsets.push_back(p.file_offset);
                    want_counts.push_back(p.samples);
                }
            mp4::TrackTables t;
            std::vector<uint32_t> sync;
            char table[5] = {0};
            bool found = read_track(moov, track ? "soun" : "vide", &t, &sync, table);
            ASSERT_EQ(found, !want_offsets.empty()) << r.name;
            if (!found)
                continue;
            EXPECT_EQ(std::vector<uint64_t>(t.chunk_offsets, t.chunk_offsets + t.chunk_count), want_offsets) << r.name;
            EXPECT_EQ(std::vector<uint64_t>(t.chunk_sample_counts, t.chunk_sample_counts + t.chunk_count),
                      want_counts) << r.name;
            EXPECT_EQ(t.duration, r.durations[1 + track]) << r.name;
            for (uint64_t i = 0; track == 0 && i < t.sample_count; i++)
                EXPECT_EQ(t.sample_sizes[i], 100 + i) << r.name;
            if (track == 0) {
                EXPECT_STREQ(table, r.video_chunk_table) << r.name;
                EXPECT_EQ(sync, r.sync) << r.name;
            }
            mp4::free_track_tables(&t);
        }
        salvage::free_salvage_moov(&moov);
        delete[] plan.pieces;
        delete[] plan.tracks[0].sample_sizes;
    }
}

}  // namespace

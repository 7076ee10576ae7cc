#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "report/card_map.h"
#include "report/report_html.h"
#include "report/report_json.h"

namespace {

size_t count_of(const std::string& text, const char* what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

report::RecordingFacts recording(uint32_t number)
{
    report::RecordingFacts r{};
    r.clip_number = number;
    r.fate = report::fate_written;
    std::snprintf(r.output_path, sizeof r.output_path, "/out/XAVC_%04u.MP4", number);
    return r;
}

// Random cards against a plain model: recordings listed out of clip order, pieces of random kinds
// that often touch the one before (of the same recording or another), end on cell edges, or lie
// under unreadable spans. After the sort each recording's bytes of each kind are the ones given for
// it, each map cell carries the weightiest kind of the pieces touching it and one of their
// recordings, and each recording lists the spans its pieces overlap.
TEST(CardMap, RandomCardsAgainstAModel)
{
    struct Given {
        uint8_t kind;
        uint32_t clip;  // 0: no recording's
        uint64_t offset, length;
    };
    using Bytes = std::map<std::pair<uint32_t, uint8_t>, std::set<uint64_t>>;  // (clip, kind) -> units of bytes
    std::mt19937_64 rng(35);
    auto below = [&rng](uint64_t n) { return n ? rng() % n : 0; };
    for (int round = 0; round < 200; round++) {
        report::ReportFacts facts{};
        uint64_t size = round % 7 == 0 ? (1ull << 40) + below(1000) : 1 + below(round % 2 ? 50000 : 3000000);
        facts.run.image_size = size;
        facts.run.heap_offset = below(size / 8);
        uint32_t count = 1 + uint32_t(below(6));
        std::vector<uint32_t> clips(count);
        for (uint32_t i = 0; i < count; i++)
            clips[i] = i + 1;
        std::shuffle(clips.begin(), clips.end(), rng);
        for (uint32_t clip : clips)
            basics::list_append(&facts.recordings, recording(clip));
        uint64_t grid = uint64_t(report::map_columns) * report::map_rows;
        uint64_t bucket = std::max<uint64_t>(1, (size + grid - 1) / grid);
        std::vector<Given> given;
        for (int n = int(below(40)); n > 0; n--) {
            Given g{uint8_t(report::piece_extent + below(report::piece_unreadable - report::piece_extent)), 0, 0, 0};
            uint32_t index = uint32_t(below(count + 1));
            if (index == count)
                g.kind = below(2) ? uint8_t(report::piece_unused) : uint8_t(report::piece_unreadable);
            g.clip = index == count ? 0 : clips[index];
            g.length = 1 + below(std::min<uint64_t>(size, 4 * bucket + below(size / 4 + 1)));
            uint64_t at = below(size);
            if (!given.empty() && below(2))  // touching the piece before
                at = given.back().offset + given.back().length;
            uint64_t edge = (at + g.length) / bucket * bucket;
            if (below(3) == 0 && edge > at)  // ending on a cell's edge
                g.length = edge - at;
            if (at >= size)
                continue;
            g.offset = at, g.length = std::min(g.length, size - at);
            given.push_back(g);
            if (g.kind == report::piece_unreadable)
                basics::list_append(&facts.run.unreadable, report::UnreadableFact{g.offset, g.length, 0});
            uint32_t recording = g.clip ? uint32_t(std::find(clips.begin(), clips.end(), g.clip) - clips.begin())
                                        : report::no_recording;
            report::add_piece(&facts, g.kind, recording, g.offset, g.length);
        }
        report::sort_recordings(&facts);
        std::string name = "round " + std::to_string(round);
        for (uint32_t i = 0; i < count; i++)
            ASSERT_EQ(facts.recordings.items[i].clip_number, i + 1) << name;
        // bytes by owner and kind, counted in units of 1/64 of the image to stay small
        uint64_t unit = std::max<uint64_t>(1, size / 64);
        auto units = [unit](Bytes* b, uint32_t clip, uint8_t kind, uint64_t offset, uint64_t length) {
            for (uint64_t u = offset / unit; u <= (offset + length - 1) / unit; u++)
                (*b)[{clip, kind}].insert(u);
        };
        Bytes want, got;
        for (const Given& g : given)
            units(&want, g.clip, g.kind, g.offset, g.length);
        for (size_t i = 0; i < facts.pieces.count; i++) {
            const report::Piece& p = facts.pieces.items[i];
            units(&got, p.recording == report::no_recording ? 0 : facts.recordings.items[p.recording].clip_number,
                  p.kind, p.offset, p.length);
        }
        EXPECT_EQ(got, want) << name << ": the bytes of each recording and kind";
        for (uint64_t begin : {uint64_t(0), below(size)}) {
            uint64_t end = begin ? begin + below(size - begin) + 1 : size;
            report::CardMap map;
            report::build_card_map(&facts, begin, end, &map);
            uint64_t b = std::max<uint64_t>(1, (end - begin + grid - 1) / grid);
            ASSERT_EQ(map.bucket_bytes, b) << name;
            ASSERT_EQ(map.cells, (end - begin - 1) / b + 1) << name << ": the last byte's cell";
            std::vector<uint8_t> kind(map.cells);
            std::vector<uint64_t> owners(map.cells);  // bit per clip number of the weightiest kind's pieces
            std::vector<Given> all = given;
            all.push_back({report::piece_system, 0, 0, facts.run.heap_offset});
            for (const Given& g : all) {
                if (g.length == 0 || g.offset >= end || g.offset + g.length <= begin)
                    continue;
                uint64_t first = (std::max(g.offset, begin) - begin) / b;
                uint64_t last = (std::min(g.offset + g.length, end) - 1 - begin) / b;
                for (uint64_t c = first; c <= last; c++) {
                    if (g.kind > kind[c])
                        kind[c] = g.kind, owners[c] = 0;
                    if (g.kind == kind[c])
                        owners[c] |= 1ull << g.clip;
                }
            }
            for (uint32_t c = 0; c < map.cells; c++) {
                std::string where = name + ", cell " + std::to_string(c) + " of the map from " + std::to_string(begin);
                ASSERT_EQ(map.kind[c], kind[c]) << where;
                uint32_t r = map.recording[c];
                if (kind[c] > report::piece_unused && kind[c] < report::piece_unreadable) {
                    ASSERT_TRUE(r < count && (owners[c] >> facts.recordings.items[r].clip_number & 1)) << where;
                }
            }
            report::free_card_map(&map);
        }
        for (uint32_t i = 0; i < count; i++) {
            std::vector<std::pair<uint64_t, uint64_t>> want_spans, got_spans;
            for (size_t u = 0; u < facts.run.unreadable.count; u++) {
                const report::UnreadableFact& span = facts.run.unreadable.items[u];
                for (const Given& g : given)
                    if (g.clip == i + 1 && g.offset < span.offset + span.length && span.offset < g.offset + g.length) {
                        want_spans.push_back({span.offset, span.length});
                        break;
                    }
            }
            report::UnreadableFacts touched{};
            report::recording_unreadable(&facts, i, &touched);
            for (size_t u = 0; u < touched.count; u++)
                got_spans.push_back({touched.items[u].offset, touched.items[u].length});
            basics::list_free(&touched);
            EXPECT_EQ(got_spans, want_spans) << name << ": the spans clip " << i + 1 << " touches";
        }
        report::free_report_facts(&facts);
    }
}

// Five thousand recordings of a thousand pieces each on a 1 TB card: the map is bounded by its
// cells, not by the pieces, and every recording still gets its row and its JSON record.
TEST(CardMap, ThousandsOfRecordingsStayBounded)
{
    report::ReportFacts facts{};
    facts.run.image_size = 1ull << 40;
    facts.run.image_path = "/cards/<big> & \"odd\".img";
    const uint32_t recordings = 5000;
    uint64_t stride = facts.run.image_size / recordings;
    for (uint32_t i = 0; i < recordings; i++) {
        basics::list_append(&facts.recordings, recording(i + 1));
        for (uint64_t k = 0; k < 1000; k++) {
            uint64_t at = i * stride + k * (stride / 1000);
            report::add_piece(&facts, k % 2 ? report::piece_sound : report::piece_video, i, at, stride / 2000);
        }
    }
    report::Text html, json;
    report::write_report_html(&html, &facts);
    report::write_report_json(&json, &facts);
    std::string page(html.data);
    size_t cells = size_t(report::map_columns) * report::map_rows;
    EXPECT_LE(count_of(page, "<rect"), cells + 1) << "one rectangle per cell at most";
    EXPECT_LT(html.length, 5000u * 2000 + cells * 200) << "the page grows with the rows, not the pieces";
    EXPECT_EQ(count_of(page, "<tr id=\"clip-"), recordings);
    EXPECT_EQ(count_of(std::string(json.data), "\"clip_number\""), recordings);
    EXPECT_EQ(count_of(std::string(json.data), "\"kind\": \"video\""), recordings * 500u);
    EXPECT_NE(page.find("/cards/&lt;big&gt; &amp; &quot;odd&quot;.img"), std::string::npos);
    EXPECT_EQ(page.find("<big>"), std::string::npos);
    report::text_free(&html);
    report::text_free(&json);
    report::free_report_facts(&facts);
}

}  // namespace

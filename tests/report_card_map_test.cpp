#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

// Where pieces land: the cell of a byte is its offset over the bucket size, the last byte of the
// image falls in the last cell, and the weightier kind wins a shared cell.
TEST(CardMap, PiecesLandInTheirCells)
{
    struct Case {
        const char* name;
        uint64_t image_size;
        uint8_t first_kind, second_kind;
        uint64_t first_at, second_at, length;
        uint64_t cell;
        uint8_t expected_kind;
        uint32_t expected_recording;
    } cases[] = {
        {"header beats the video around it", 40000000, report::piece_video, report::piece_header, 0, 500, 100, 0,
         report::piece_header, 1},
        {"video does not overwrite a header drawn before it", 40000000, report::piece_header, report::piece_video, 500,
         0, 100, 0, report::piece_header, 0},
        {"a piece ending on a cell's last byte stays out of the next", 40000000, report::piece_video, report::piece_sound,
         0, 1000, 1000, 0, report::piece_video, 0},
        {"the image's last byte on a 1 TB card", 1ull << 40, report::piece_sound, report::piece_movie, 0,
         (1ull << 40) - 1, 1, report::map_columns * report::map_rows - 1, report::piece_movie, 1},
        {"a card smaller than the grid: one byte a cell", 1000, report::piece_video, report::piece_movie, 10, 999, 1, 999,
         report::piece_movie, 1},
    };
    for (const Case& c : cases) {
        report::ReportFacts facts{};
        facts.run.image_size = c.image_size;
        basics::list_append(&facts.recordings, recording(1));
        basics::list_append(&facts.recordings, recording(2));
        report::add_piece(&facts, c.first_kind, 0, c.first_at, c.length);
        report::add_piece(&facts, c.second_kind, 1, c.second_at, c.length);
        report::CardMap map;
        report::build_card_map(&facts, 0, c.image_size, &map);
        ASSERT_LT(c.cell, map.cells) << c.name;
        EXPECT_EQ(map.kind[c.cell], c.expected_kind) << c.name;
        EXPECT_EQ(map.recording[c.cell], c.expected_recording) << c.name;
        EXPECT_EQ((c.image_size - 1) / map.bucket_bytes, map.cells - 1) << c.name << ": the last byte's cell";
        report::free_card_map(&map);
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

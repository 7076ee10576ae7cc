#pragma once
// The card drawn as one SVG: the image laid out left to right, top to bottom over a fixed grid
// of cells, each cell a bucket of image bytes. Every piece marks the buckets it touches and the
// weightier kind wins a bucket, so the drawing costs the same for a 1 TB card as for a small
// one, and cells of one kind and recording in a row become one rectangle.
#include <cstdint>

#include "report/report_facts.h"
#include "report/text_out.h"

namespace report {

constexpr uint32_t map_columns = 400;
constexpr uint32_t map_rows = 100;

struct CardMap {
    uint64_t begin, end;    // the image bytes drawn: the whole card, or a close-up of part of it
    uint64_t bucket_bytes;  // image bytes per cell
    uint32_t cells;         // cells in use: the image's last byte falls in the last one
    uint32_t* recording;    // per cell: index of the recording whose piece won it
    uint8_t* kind;          // per cell: PieceKind
};

// Marks every cell under the pieces that fall in image bytes [begin, end).
void build_card_map(const ReportFacts* facts, uint64_t begin, uint64_t end, CardMap* map);
// The bytes from the first recording's piece to the end of the last: 0 when there are none.
int recordings_span(const ReportFacts* facts, uint64_t* begin, uint64_t* end);
void free_card_map(CardMap* map);

// The hue (0-359) a recording is drawn in: neighbours in the list get hues far apart.
int recording_hue(uint32_t index);
// The fill of a kind of piece of the recording with that hue, as CSS colour text.
void kind_colour(uint8_t kind, int hue, char* out, size_t cap);
const char* kind_label(uint8_t kind);

// The map as an <svg> element with a <title> on every rectangle, and a line on its scale.
void write_card_svg(Text* t, const ReportFacts* facts, const CardMap* map);
// What the shades and colours of the maps mean.
void write_map_legend(Text* t, const ReportFacts* facts);

}  // namespace report

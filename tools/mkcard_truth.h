// What a correct recovery of a card gives: the recordings themselves, the expected output files
// and truth.json with the byte ranges of each output that are known exactly.
#pragma once
#include "tools/mkcard_card.h"

#include <string>
#include <utility>

namespace mkcard {

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;  // [begin, end)

// Output bytes of a recovered recording: the file up to the end of the media data with every
// metadata chunk zeroed, then the movie box (with or without the metadata track).
FileView expected_view(const Recording& r, bool keep_metadata);

// Ranges of the expected output that the recovery must reproduce exactly; counts the sound chunks
// among them when `audio_known` is given.
Ranges known_ranges(const Card& card, const PlacedRecording& p, bool keep_metadata, size_t* audio_known);

// Writes DIR/truth.json and, with `copies`, DIR/recordings, DIR/expected and DIR/expected_keep.
void write_truth(const Card& card, const std::string& dir, const std::string& scenario, bool copies = true);

} // namespace mkcard

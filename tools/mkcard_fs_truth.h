// What a card's file tree says, for truth.json: every entry set with its path, state, times,
// size, clusters and whether its extent gives the file's own bytes.
#pragma once
#include "tools/mkcard_card.h"

#include <string>

namespace mkcard {

// The file entry of placed recording `k` and its sidecars, as the "file" member of its truth
// record ("null" on a card without a file tree).
std::string recording_file_json(const Card& card, size_t k);

// The "file_system" member of the truth: the state, the folders' clusters and every entry set.
std::string file_system_json(const Card& card);

} // namespace mkcard

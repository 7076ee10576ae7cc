#pragma once
// Clips the documented rules wrote without some of their video chunks (only without the decode
// check), and whether salvage may find those chunks among the others' pieces.
#include <cstddef>

#include "salvage/salvage_attempts.h"

namespace salvage {

// Clip i of the request was written without some of its video chunks, which the documented rules
// found nowhere.
int written_short(const SalvageRequest* r, size_t i);

// Another recording's piece (a located chunk, a clip header or a kkad box of its own) lies among
// the pieces of clip i on the card: its header, the chunks the documented rules found and its
// movie box.
int others_between(const SalvageRequest* r, size_t i);

}  // namespace salvage

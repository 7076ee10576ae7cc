#pragma once
// How the run reads a card that may be failing: every stretch that does not read is named as it
// is found, a ddrescue mapfile names what an earlier imaging did not rescue, the card can be
// saved as it is read, and the summary counts what did not read.
#include "engine/driver.h"
#include "image/unreadable_map.h"

namespace engine {

// Before the first read of the image: the card reader takes the image, a mapfile's stretches
// are marked and named, and the image saver is ready. A mapfile that does not read or does not
// fit the image, and a saved image that would replace a file, end the run before anything is
// written.
void open_card_reading(RunState* state);
// What the scan cache knows did not read: marked for the card reader, which does not read it
// again, and named as the scan named it.
void take_cached_unreadable(const image::UnreadableMap* cached);
// The summary's line of what did not read; nothing on a card that read everywhere.
void print_unreadable_summary();
// Before the image is closed.
void close_card_reading();

}  // namespace engine

#pragma once
// After the documented queue: the recordings it gave up on, salvaged where the card still holds
// their samples, in one block of lines before the summary.
#include <cstddef>

#include "engine/driver.h"

namespace engine {

// Salvage runs after --recover-all and after --clip, never with --analysis-only or --no-salvage.
int salvage_applies(const EngineOptions* options);
// Salvages every clip of the mode that the documented writer did not write; returns the files
// written. Prints nothing when there is no such clip.
size_t run_salvage(RunState* state);

}  // namespace engine

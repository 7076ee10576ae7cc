#pragma once
// After the documented queue: whether salvage runs, and what it is asked to do.
#include <cstddef>

#include "engine/driver.h"

namespace engine {

// Salvage runs after --recover-all and after --clip, never with --analysis-only or --no-salvage.
int salvage_applies(const EngineOptions* options);
// Salvages the recordings of the mode the documented writer did not write, its files numbered
// after the queue's; returns the files written.
size_t run_salvage(RunState* state);

}  // namespace engine

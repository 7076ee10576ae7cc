#pragma once
// The raw scan of a run that will write every recoverable clip: while the scan reads the card,
// the chunk searches of the kkad boxes it passes are done on the bytes it keeps, and the media
// data of the recordings it passes is spooled into the output folder, so that the writer need
// not read the card again where the recordings lie whole.
#include "basics/sha256.h"
#include "engine/driver.h"

namespace engine {

// 1 when the run's mode writes clips from a fresh scan's work.
int scan_pass_applies(const EngineOptions* options);
// The raw scan of stage [2/6], with the work done as the bytes pass, each byte also fed to `hash`
// when given; 1 when the whole image was read.
int scan_pass_run(RunState* state, basics::Sha256* hash);

}  // namespace engine

#pragma once
// Follows the engine's log: every tick re-reads its end, hands it to the output parser and, while
// the Activity pane is shown, puts it there newest line first.

namespace gui {

void poll_recovery_log();

}  // namespace gui

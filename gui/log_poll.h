#pragma once
// Follows the engine's log: every tick re-reads its end, hands it to the output parser and, while
// the Activity pane is shown, puts it there newest line first.

#include <cstddef>

namespace gui {

// The log's last bytes (at most log_tail_limit) as a terminated heap string for the caller to
// free; null when the log is missing, empty or unreadable.
char* read_log_tail(const char* path, size_t* length);
// Parses the log only while a run is in progress: after it, the window keeps what the run's end
// made of it, and a poll only fills the Activity pane.
void poll_recovery_log();

}  // namespace gui

#pragma once
// One engine run as the window sees it: the checks before it, the child's command line, the job
// handed to the worker thread, and what the end of the run does to the buttons and texts.
#include <cstddef>
#include <cstdint>

#include "gui/gui_state.h"

namespace gui {

constexpr size_t command_line_capacity = 8192;

// Made per run by the window, owned by the worker while the child runs, handed back with the
// end message.
struct RecoveryJob {
    char command_line[command_line_capacity];  // program path first
    char log_path[path_capacity];
    char working_folder[path_capacity];  // the child's current folder
    char recovery_folder[path_capacity];  // empty for an analysis-only run
};

// What the start checks need from the system, passed in so that the rules run anywhere.
struct RunChecks {
    // 1 when the validator library loads (and is unloaded again); else 0 with the loader's text.
    int (*validator_loads)(char* message, size_t cap);
    int (*own_path)(char* out, size_t cap);
};

enum MessageKind : int32_t { message_information = 0, message_warning = 1, message_error = 2 };

struct RunRefusal {
    MessageKind kind;
    char text[1024];
};

struct RunEnd {
    ViewEvents events;
    int32_t show_error;
    char error_text[4096];
};

extern const char* const log_file_name;
// The status line after a recovery: the link "folder" opens the recovery folder, "report" the
// report in it. A click is told by the link's id, not its index: Wine counts the text between
// the links in the index.
extern const char* const recovery_complete_text;
constexpr wchar_t report_link_id[] = L"report";
// The report page inside the recovery folder, cut to `cap`.
void report_page_path(const char* folder, char* out, size_t cap);
extern const char* const working_folder_busy_text;

// Adds one argument to a command line of command_line_capacity bytes, quoted when it holds white
// space or a double quote.
void append_argument(char* line, const char* argument);
void build_command_line(char* line, RunMode mode, const char* program, const char* image, const char* work,
                        const char* recovery);
// The working folder, one backslash unless it already ends in a separator, the log file name.
void log_path_in(char* out, size_t cap, const char* working_folder);

// Stores `mode` as the run mode, then 1 with `job` filled when the run may start, else 0 with the
// message to show.
int prepare_run(GuiState* state, RunMode mode, const RunChecks& checks, RecoveryJob* job, RunRefusal* refusal);
// The window's side of a started run: remembered paths, a cleared display, every button off.
ViewEvents begin_run(GuiState* state, const RecoveryJob& job);
// The worker thread could not be started: the buttons come back by the rules.
void run_not_started(GuiState* state);
// The end message: buttons, flags and texts after the child ended with `exit_code`. `reason` says
// why a run failed, in words: the engine's own "ERROR: " line, or the system's text for a code the
// child never got to give; empty when nothing says more than the code.
RunEnd finish_run(GuiState* state, uint32_t exit_code, const RecoveryJob& job, const char* reason = "");

}  // namespace gui

#include "gui/recovery_run.h"

#include <cstdio>
#include <cstring>

#include "basics/report_texts.h"
#include "gui/control_ids.h"
#include "image/path_join.h"

namespace gui {

const char* const log_file_name = "Velto_Sony_XAVC_recovery.log";
const char* const recovery_complete_text =
    "Recovery complete.  <a id=\"folder\">View Recovery Directory</a>  <a id=\"report\">View Report</a>";
const char* const working_folder_busy_text =
    "A recovery is already running in this working folder (its log file is in use).\r\n\r\n"
    "Wait until it has ended, or select another working folder.";

void report_page_path(const char* folder, char* out, size_t cap)
{
    image::path_join(out, cap, folder, basics::report_page_name);
}

static int needs_quotes(const char* argument)
{
    for (const char* p = argument; *p; p++)
        if (*p == '"' || std::strchr(" \t\n\v\f\r", *p))
            return 1;
    return 0;
}

// Backslashes go through unchanged, also before a quote and at the end: the pickers give no path
// that ends in a backslash except a drive root, and a drive root needs no quotes.
void append_argument(char* line, const char* argument)
{
    const size_t last = command_line_capacity - 1;
    size_t n = std::strlen(line);
    if (n > 0 && n < last)
        line[n++] = ' ';
    if (!needs_quotes(argument)) {
        for (const char* p = argument; *p && n < last; p++)
            line[n++] = *p;
        line[n] = 0;
        return;
    }
    if (n < last)
        line[n++] = '"';
    for (const char* p = argument; *p && n < last; p++) {
        if (*p == '"') {
            line[n++] = '\\';
            if (n == last)
                break;
        }
        line[n++] = *p;
    }
    if (n < last)
        line[n++] = '"';
    line[n] = 0;
}

void build_command_line(char* line, RunMode mode, const char* program, const char* image, const char* work,
                        const char* recovery)
{
    line[0] = 0;
    append_argument(line, program);
    append_argument(line, image);
    append_argument(line, "--work-dir");
    append_argument(line, work);
    append_argument(line, "-o");
    append_argument(line, mode == AnalysisOnly ? work : recovery);
    if (mode == AnalysisOnly)
        append_argument(line, "--analysis-only");
    else if (mode == All)
        append_argument(line, "--recover-all");
}

void log_path_in(char* out, size_t cap, const char* working_folder)
{
    size_t n = std::strlen(working_folder);
    int has_separator = n > 0 && (working_folder[n - 1] == '\\' || working_folder[n - 1] == '/');
    std::snprintf(out, cap, "%s%s%s", working_folder, has_separator ? "" : "\\", log_file_name);
}

static int refuse(RunRefusal* refusal, MessageKind kind, const char* text)
{
    refusal->kind = kind;
    copy_text(refusal->text, sizeof refusal->text, text);
    return 0;
}

int prepare_run(GuiState* state, RunMode mode, const RunChecks& checks, RecoveryJob* job, RunRefusal* refusal)
{
    const WindowView& v = state->view;
    state->run_mode = mode;
    if (!field_filled(v.working_folder))
        return refuse(refusal, message_warning, "Select the working folder first.");
    if (!field_filled(v.source_image))
        return refuse(refusal, message_warning, "Select the Sony media image first.");
    if (mode != AnalysisOnly) {
        if (!state->analysis_succeeded)
            return refuse(refusal, message_warning, "Analyze the image successfully before starting recovery.");
        if (!field_filled(v.recovery_folder))
            return refuse(refusal, message_warning, "Select a recovery folder before starting recovery.");
        char message[768];
        message[0] = 0;
        if (!checks.validator_loads(message, sizeof message)) {
            refusal->kind = message_error;
            std::snprintf(refusal->text, sizeof refusal->text, "AVC validator could not be loaded.\r\n\r\n%s",
                          message);
            return 0;
        }
    }
    char program[path_capacity];
    if (!checks.own_path(program, sizeof program))
        return refuse(refusal, message_error, "Unable to determine this executable's path.");
    std::memset(job, 0, sizeof *job);
    build_command_line(job->command_line, mode, program, v.source_image, v.working_folder, v.recovery_folder);
    log_path_in(job->log_path, sizeof job->log_path, v.working_folder);
    copy_text(job->working_folder, sizeof job->working_folder, v.working_folder);
    if (mode != AnalysisOnly)
        copy_text(job->recovery_folder, sizeof job->recovery_folder, v.recovery_folder);
    return 1;
}

ViewEvents begin_run(GuiState* state, const RecoveryJob& job)
{
    ViewEvents events{};
    events.clear_activity = 1;
    events.forget_activity = 1;
    copy_text(state->working_folder_copy, path_capacity, job.working_folder);
    copy_text(state->log_path, path_capacity, job.log_path);
    state->recovery_link_folder[0] = 0;
    state->running = 1;
    copy_text(state->analysis_status_before, sizeof state->analysis_status_before, state->view.analysis_status);
    copy_text(state->analysis_details_before, sizeof state->analysis_details_before, state->view.analysis_details);
    state->view.overall_progress = 0;
    state->view.file_progress = 0;
    copy_text(state->view.status_link, sizeof state->view.status_link,
              state->run_mode == AnalysisOnly ? "Analysis only - no file writing" : "Waiting to begin file writing");
    update_action_buttons(state, 0);
    return events;
}

void run_not_started(GuiState* state)
{
    state->running = 0;
    update_action_buttons(state, 1);
}

// The status line of a failed run: what failed and why, the engine's "ERROR: " left off.
static void show_failure(WindowView* v, RunMode mode, uint32_t exit_code, const char* reason)
{
    const char* what = mode == AnalysisOnly ? "Analysis failed" : "Recovery failed";
    const char* words = std::strncmp(reason, "ERROR: ", 7) == 0 ? reason + 7 : reason;
    if (words[0])
        std::snprintf(v->status_link, sizeof v->status_link, "%s: %s", what, words);
    else
        std::snprintf(v->status_link, sizeof v->status_link, "%s (exit code %lu).", what,
                      static_cast<unsigned long>(exit_code));
}

static RunEnd finish_failed_run(GuiState* state, uint32_t exit_code, const char* reason)
{
    RunEnd end{};
    WindowView& v = state->view;
    // the button the user pressed names what failed
    const char* action = state->run_mode == AnalysisOnly ? "Analyze" : state->run_mode == All ? "Recover All" : "Recover Sample";
    std::snprintf(end.error_text, sizeof end.error_text,
                  "%s failed with exit code %lu.\n\n%s%sFor diagnostic details, enable Advanced > Show Activity.", action,
                  static_cast<unsigned long>(exit_code), reason, reason[0] ? "\n\n" : "");
    end.show_error = 1;
    show_failure(&v, state->run_mode, exit_code, reason);
    if (state->run_mode == AnalysisOnly) {
        // a user who picked the wrong image picks another one
        state->analysis_succeeded = 0;
        apply_window_width(state);
        copy_text(v.analysis_status, sizeof v.analysis_status, "Analysis failed");
        copy_text(v.analysis_details, sizeof v.analysis_details, analyze_prompt_text);
        end.events.focus = IDC_SOURCE_OPEN;
    } else {
        // the analysis this recovery stood on still holds
        copy_text(v.analysis_status, sizeof v.analysis_status, state->analysis_status_before);
        copy_text(v.analysis_details, sizeof v.analysis_details, state->analysis_details_before);
    }
    update_action_buttons(state, 1);
    return end;
}

RunEnd finish_run(GuiState* state, uint32_t exit_code, const RecoveryJob& job, const char* reason)
{
    RunEnd end{};
    WindowView& v = state->view;
    state->running = 0;
    if (exit_code != 0)
        return finish_failed_run(state, exit_code, reason);
    if (state->run_mode == AnalysisOnly) {
        state->analysis_succeeded = 1;
        apply_window_width(state);
        update_action_buttons(state, 1);
        end.events.focus = field_filled(v.recovery_folder) ? IDC_RECOVER_SAMPLE : IDC_OUTDIR_BROWSE;
        v.status_link[0] = 0;
        v.overall_progress = 100;
        return end;
    }
    update_action_buttons(state, 1);
    v.overall_progress = 100;
    v.file_progress = 100;
    copy_text(state->recovery_link_folder, path_capacity, job.recovery_folder);
    copy_text(v.status_link, sizeof v.status_link, recovery_complete_text);
    return end;
}

}  // namespace gui

#include "gui/recovery_worker.h"

#include <cstdlib>
#include <cstring>

#include "gui/control_ids.h"
#include "gui/log_poll.h"
#include "gui/recovery_run.h"
#include "gui/window_controls.h"
#include "gui/output_parser.h"
#include "platform/platform.h"
#include "platform/win32_paths.h"
#include "validator/loader.h"

namespace gui {

static WindowObserver window_observer;

// A run's job and the window that started it: the worker posts its end to that handle, captured
// before the thread starts, so it never reads the window record the window thread clears.
struct WorkerJob {
    RecoveryJob run;
    HWND notify;
    HANDLE log;          // inheritable; INVALID_HANDLE_VALUE when it could not be created
    int child_started;   // 0: the exit code is the system's error code of the create call
};

void set_window_observer(const WindowObserver& observer) { window_observer = observer; }

// The window only checks that the library loads; the child loads its own copy.
static int validator_loads(char* message, size_t cap)
{
    int loaded = validator::load_validator(message, cap);
    validator::unload_validator();
    return loaded;
}

static int own_path(char* out, size_t cap) { return platform::own_executable_path(out, cap); }

// The log shares reading only: while one run writes it, a run started by another window on the same
// working folder cannot create it, and is refused before it empties the log and shares the scan
// cache.
static HANDLE create_log(const char* path)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(platform::wide_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void start_recovery(HWND main)
{
    GuiWindow& g = gui_window;
    LRESULT selected = g.mode_combo ? SendMessageA(g.mode_combo, CB_GETCURSEL, 0, 0) : 0;
    RunMode mode = selected == All ? All : selected == AnalysisOnly ? AnalysisOnly : Sample;
    static RecoveryJob prepared;
    RunRefusal refusal;
    if (!prepare_run(&g.state, mode, RunChecks{validator_loads, own_path}, &prepared, &refusal)) {
        show_message(main, refusal.kind, refusal.text);
        return;
    }
    WorkerJob* job = static_cast<WorkerJob*>(std::calloc(1, sizeof(WorkerJob)));
    if (!job) {
        show_message(main, message_error, "Out of memory.");
        return;
    }
    job->run = prepared;
    job->notify = main;
    job->log = create_log(job->run.log_path);
    if (job->log == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
        std::free(job);
        show_message(main, message_warning, working_folder_busy_text);
        return;
    }
    apply_view_events(begin_run(&g.state, job->run));
    show_view();
    SetTimer(main, IDT_LOG_POLL, 500, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, recovery_worker, job, 0, nullptr);
    if (!thread) {
        // that run never began, so nothing is left to poll
        KillTimer(main, IDT_LOG_POLL);
        if (job->log != INVALID_HANDLE_VALUE)
            CloseHandle(job->log);
        std::free(job);
        run_not_started(&g.state);
        show_view();
        show_message(main, message_error, "Unable to start recovery worker.");
        return;
    }
    CloseHandle(thread);
}

// Publishes a handle of its own for the close question and returns the child's exit code.
static DWORD wait_for_child(const PROCESS_INFORMATION& child)
{
    HANDLE published = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &published,
                        PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0))
        gui_window.child_process.store(published);
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exit_code = 2;
    if (!GetExitCodeProcess(child.hProcess, &exit_code))
        exit_code = 2;
    CloseHandle(child.hProcess);
    // whoever takes the published handle out closes it
    HANDLE left = gui_window.child_process.exchange(nullptr);
    if (left)
        CloseHandle(left);
    return exit_code;
}

DWORD WINAPI recovery_worker(LPVOID param)
{
    WorkerJob* job = static_cast<WorkerJob*>(param);
    HANDLE log = job->log;
    int has_log = log != INVALID_HANDLE_VALUE;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = has_log ? log : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = startup.hStdOutput;

    // the create call may write into its command line
    char command_line[command_line_capacity];
    std::memcpy(command_line, job->run.command_line, sizeof command_line);
    // a current folder is held to the plain path limit; the child needs none of its own, as it is
    // told every folder on its command line
    const char* folder = job->run.working_folder;
    if (!folder[0] || platform::wide_text(folder).size() >= MAX_PATH - 1)
        folder = nullptr;
    PROCESS_INFORMATION child = {};
    DWORD exit_code = 2;
    job->child_started = CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        folder, &startup, &child) ? 1 : 0;
    if (job->child_started)
        exit_code = wait_for_child(child);
    else
        exit_code = GetLastError();
    if (has_log)
        CloseHandle(log);
    // a window closed during the run is gone; its job goes with the process
    if (!PostMessageA(job->notify, WM_RECOVERY_DONE, exit_code, reinterpret_cast<LPARAM>(job)))
        std::free(job);
    return 0;
}

// Why the run failed: the engine's own "ERROR: " line in its log, or the system's text for the
// code of a child that never started.
static void failure_reason(const WorkerJob& job, DWORD exit_code, char* out, size_t cap)
{
    out[0] = 0;
    if (exit_code == 0)
        return;
    if (job.child_started) {
        size_t n = 0;
        char* text = read_log_tail(job.run.log_path, &n);
        if (text)
            find_engine_error(text, out, cap);
        std::free(text);
        return;
    }
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, exit_code, 0, out,
                             static_cast<DWORD>(cap), nullptr);
    while (n > 0 && (out[n - 1] == '\r' || out[n - 1] == '\n' || out[n - 1] == ' '))
        n--;
    out[n] = 0;
}

void finish_recovery(DWORD exit_code, void* param)
{
    GuiWindow& g = gui_window;
    WorkerJob* job = static_cast<WorkerJob*>(param);
    poll_recovery_log();
    KillTimer(g.main, IDT_LOG_POLL);
    char reason[2048];
    failure_reason(*job, exit_code, reason, sizeof reason);
    RunEnd end = finish_run(&g.state, exit_code, job->run, reason);
    show_view();
    apply_view_events(end.events);
    std::free(job);
    if (window_observer.run_ended)
        window_observer.run_ended(g.main);
    if (end.show_error)
        show_message(g.main, message_error, end.error_text);
}

void terminate_child()
{
    HANDLE child = gui_window.child_process.exchange(nullptr);
    if (!child)
        return;  // it ended while the question was open
    TerminateProcess(child, 3);
    if (window_observer.child_terminated)
        window_observer.child_terminated(child);
    CloseHandle(child);
}

}  // namespace gui

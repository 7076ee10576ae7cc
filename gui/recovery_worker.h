#pragma once
// Runs the engine as a hidden child of this same program: the start of a run on the window
// thread, the worker thread that waits for the child, and the end message back on the window.
#include <windows.h>

namespace gui {

// Something outside the window may watch it: a test driver writes the controls' state after each
// run and the exit code of a child ended by the close question.
struct WindowObserver {
    void (*run_ended)(HWND main);
    void (*child_terminated)(HANDLE process);
};
void set_window_observer(const WindowObserver& observer);

void start_recovery(HWND main);
DWORD WINAPI recovery_worker(LPVOID job);
// WM_RECOVERY_DONE: the child's exit code and the job handed back by the worker.
void finish_recovery(DWORD exit_code, void* job);
// The close question was answered Yes: the child, if it still runs, ends with exit code 3.
void terminate_child();

}  // namespace gui

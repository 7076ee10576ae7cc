#pragma once
// The window face of the program: started when there is nothing to do on the command line.

namespace gui {

// Runs the window until it is closed; the exit code: 0 after a normal close, 2 when the window
// could not be made.
int run_gui();

}  // namespace gui

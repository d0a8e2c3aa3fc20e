#pragma once

// Glue to the window system under OpenCV's windows. Without Qt, plain OpenCV calls.

#include <string>

// Why the window system cannot be reached, or empty, so the viewer can fail with a message
// instead of the toolkit aborting the process. A busy X server may turn a client away for
// a moment, so this tries for about a second.
std::string displayError();

// The toolkit's warnings (such as a missing XDG_RUNTIME_DIR) stay off stderr; its fatal and
// critical errors, and a lost display, end the program with one line and status 1.
void guardToolkit();

// Starts watching the application's windows: every key typed, in order, and a window
// destroyed behind the toolkit's back.
void watchWindows();

// The next key typed, as the character it typed (OpenCV alone folds `Q` to `q`), waiting
// up to `delayMs` for one while the toolkit runs; 0 takes only keys typed already. -1: none.
int nextKey(int delayMs);

// Paints what cv::imshow scheduled now, rather than at the next key wait; keys typed
// meanwhile stay for nextKey.
void paintNow();

// True once one of the application's windows was destroyed by someone else.
bool windowDestroyed();

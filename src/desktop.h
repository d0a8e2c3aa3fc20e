// SPDX-License-Identifier: Apache-2.0
#pragma once

// Glue to the window system under OpenCV's windows. Without Qt, plain OpenCV calls.

#include <string>

// Starts the toolkit on the window system Qt picks for any Qt program (Wayland first in a
// Wayland session, else X11, or the list in QT_QPA_PLATFORM), trying Wayland after X11 where
// Qt would try X11 alone but WAYLAND_DISPLAY names a display. Returns why no window can be
// opened, or empty; where Qt itself gives up, this ends the program with one line and
// status 1. A busy X server may turn a client away for a moment, so X11, when first, is tried
// for about a second. The window called `window` first shows at `width` x `height` and keeps
// that size. From here on the toolkit's warnings stay off stderr and a lost display ends
// the program.
std::string openDesktop(const char* window, int width, int height);

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

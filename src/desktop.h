#pragma once

// Glue to the window system under OpenCV's windows; without Qt these are no-ops.

// False when the window system cannot be reached, so the viewer can fail with a message
// instead of the toolkit aborting the process.
bool displayAvailable();

// The toolkit's own warnings (such as a missing XDG_RUNTIME_DIR) would break the viewer's
// silence on stderr; drop them.
void quietToolkit();

// Starts remembering the text of each key press in the application's windows.
void watchTypedKeys();

// The character the user typed for a key code from cv::waitKeyEx. OpenCV folds Shift+letter
// to the lower-case code; the key's text tells `Q` from `q`.
int typedKey(int code);

// Shell: the window's fixed GL state and its event callbacks.
// Keys: Escape ends; Space pauses and resumes; n or the Right arrow takes
// one datagram while paused; i shows or hides the info line; f toggles full
// screen; + and - make a replay twice or half as fast; s saves a snapshot.
#pragma once

// Whether name is one of the space-separated words of extensions.
bool hasExtension(const char *extensions, const char *name);

// Asks the GL for swap interval 0, so a swap never waits for the display's
// refresh and frames keep pace with traffic. Does nothing where neither
// GLX_EXT_swap_control nor GLX_MESA_swap_control is offered.
void unthrottleSwaps();

// Once the window exists: a broken X connection ends the run with the
// counts, then the cause, status 1; the window destroyed by another client
// ends it as the close button does; no raw Xlib error reaches the
// terminal.
void watchDisplay();

void init();
void reshape(int width, int height);
void keyboard(unsigned char key, int x, int y);
void special(int key, int x, int y);
// The window's close button.
void closed();

// Shell: the window's fixed GL state and its event callbacks.
// Keys: Escape ends; Space pauses and resumes; n or the Right arrow takes
// one datagram while paused; i shows or hides the info line; f toggles full
// screen; + and - make a replay twice or half as fast; s saves a snapshot.
#pragma once

struct _XDisplay; // Xlib's Display, whose header would bring its macros along

// Whether name is one of the space-separated words of extensions.
bool hasExtension(const char *extensions, const char *name);

// Asks the GL for swap interval 0, so a swap never waits for the display's
// refresh and frames keep pace with traffic. Does nothing where neither
// GLX_EXT_swap_control nor GLX_MESA_swap_control is offered.
void unthrottleSwaps();

// Xlib's handler for a connection that broke: the counts so far, then the
// cause, status 1.
[[noreturn]] int lostDisplay(_XDisplay *display);

void init();
void reshape(int width, int height);
void keyboard(unsigned char key, int x, int y);
void special(int key, int x, int y);

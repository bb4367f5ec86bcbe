// Shell: fatal errors, the window's fixed GL state and its event callbacks.
#pragma once

#include <cstdarg>

// Writes "skevla: " and the formatted cause and remedy to standard error as
// one line, then exits with status (1 for a failure, 2 for a bad command line).
[[noreturn]] void die(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));

// freeglut's fatal errors (no display, no GLX visual) routed through die.
[[noreturn]] void glutFailure(const char *format, va_list args);

// Whether name is one of the space-separated words of extensions.
bool hasExtension(const char *extensions, const char *name);

// Asks the GL for swap interval 0, so a swap never waits for the display's
// refresh and frames keep pace with traffic. Does nothing where neither
// GLX_EXT_swap_control nor GLX_MESA_swap_control is offered.
void unthrottleSwaps();

void init();
void reshape(int width, int height);
void keyboard(unsigned char key, int x, int y);
// Sleeps until the window, the next datagram or a signal needs the program,
// and takes that datagram; the display callback only draws.
void idle();

// Shell: the command line, fatal errors, the window's fixed GL state and its
// event callbacks.
#pragma once

#include <cstdarg>
#include <cstdint>

// The synopsis, for standard error on a bad command line and standard output
// on --help.
extern const char usage_text[];

enum class verdict { run, help, refused };

// Reads -m<letter>, -h <height> and -w <width> into mode_letter, height and
// width, which hold the defaults on entry; later options win. Only the first
// two characters of an argument are compared, so -mdot is d and -width is -w.
// Anything else is refused, --help asks for help. No output, no exit.
verdict parseOptions(int argc, const char *const argv[], char &mode_letter, std::int32_t &width,
                     std::int32_t &height);

// A size argument as a base-10 integer: leading white space and a sign
// allowed, digits read up to the first non-digit, none giving 0, values past
// the 32-bit range clamped to its nearest limit.
std::int32_t parseSize(const char *text);

// Writes "skevla: " and the formatted cause and remedy to standard error as
// one line, then exits with status 1. For start-up failures only.
[[noreturn]] void die(const char *format, ...) __attribute__((format(printf, 1, 2)));

// freeglut's fatal errors (no display, no GLX visual) routed through die.
[[noreturn]] void glutFailure(const char *format, va_list args);

// Clears every capability (effective, permitted, inheritable, ambient) and
// sets no_new_privs so none comes back through exec. Returns the step that
// failed, or nullptr once the process holds nothing.
const char *shedPrivileges();

// Whether name is one of the space-separated words of extensions.
bool hasExtension(const char *extensions, const char *name);

// Asks the GL for swap interval 0, so a swap never waits for the display's
// refresh and frames keep pace with traffic. Does nothing where neither
// GLX_EXT_swap_control nor GLX_MESA_swap_control is offered.
void unthrottleSwaps();

void init();
void reshape(int width, int height);
void keyboard(unsigned char key, int x, int y);
void idle();

// Shell: fatal errors, the window's fixed GL state and its event callbacks.
#pragma once

#include <cstdarg>

// Writes "skevla: " and the formatted cause and remedy to standard error as
// one line, then exits with status 1. For start-up failures only.
[[noreturn]] void die(const char *format, ...) __attribute__((format(printf, 1, 2)));

// freeglut's fatal errors (no display, no GLX visual) routed through die.
[[noreturn]] void glutFailure(const char *format, va_list args);

void init();
void reshape(int width, int height);
void keyboard(unsigned char key, int x, int y);
void idle();

#include "shell.h"

#include "state.h"

#include <GL/freeglut_std.h>
#include <GL/glu.h>
#include <cstdio>
#include <cstdlib>

void die(const char *format, ...)
{
    char cause[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(cause, sizeof cause, format, args);
    va_end(args);
    std::fprintf(stderr, "skevla: %s\n", cause);
    std::exit(1);
}

void glutFailure(const char *format, va_list args)
{
    char cause[256];
    std::vsnprintf(cause, sizeof cause, format, args);
    die("%s; set DISPLAY to a running X server that offers GLX", cause);
}

void init()
{
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glShadeModel(GL_SMOOTH);
}

void reshape(int width, int height)
{
    // The whole window, with the projection rebuilt from scratch, so world
    // units cover the window after every resize and not only the first.
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0.0, width, 0.0, height);
    winx = width;
    winy = height;
}

void keyboard(unsigned char key, int, int)
{
    if (key == 27) // Escape
        std::exit(0);
}

void idle() { glutPostRedisplay(); }

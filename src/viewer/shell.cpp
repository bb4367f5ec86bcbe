#include "shell.h"

#include "loop.h"
#include "report.h"
#include "snapshot.h"
#include "state.h"

#include <GL/freeglut.h>
#include <GL/glu.h>
#include <GL/glx.h>
#include <GL/glxext.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

int lostDisplay(_XDisplay *display)
{
    writeCounts();
    // Not through exit: the libraries' clean-up would talk to the dead
    // connection and print more.
    char line[512];
    const int length = std::snprintf(line, sizeof line,
                                     "skevla: X connection to %s broken: the X server went away\n",
                                     DisplayString(display));
    writeAll(STDERR_FILENO, line, static_cast<std::size_t>(std::min(length, 511)));
    std::_Exit(1);
}

bool hasExtension(const char *extensions, const char *name)
{
    const std::size_t length = std::strlen(name);
    for (const char *at = extensions; (at = std::strstr(at, name)) != nullptr; at += length) {
        const bool starts = at == extensions || at[-1] == ' ';
        const bool ends = at[length] == ' ' || at[length] == '\0';
        if (starts && ends)
            return true;
    }
    return false;
}

namespace
{

template <typename Function> Function glxFunction(const char *name)
{
    return reinterpret_cast<Function>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte *>(name)));
}

} // namespace

void unthrottleSwaps()
{
    // Only what the extension string offers is called: some drivers export
    // the entry points without supporting them on every drawable.
    Display *display = glXGetCurrentDisplay();
    const char *extensions = glXQueryExtensionsString(display, DefaultScreen(display));
    if (hasExtension(extensions, "GLX_EXT_swap_control")) {
        if (auto set = glxFunction<PFNGLXSWAPINTERVALEXTPROC>("glXSwapIntervalEXT")) {
            set(display, glXGetCurrentDrawable(), 0);
            return;
        }
    }
    if (hasExtension(extensions, "GLX_MESA_swap_control")) {
        if (auto set = glxFunction<PFNGLXSWAPINTERVALMESAPROC>("glXSwapIntervalMESA"))
            set(0);
    }
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
    glutPostRedisplay();
}

void keyboard(unsigned char key, int, int)
{
    switch (key) {
    case 27: // Escape
        leave(nullptr);
        return;
    case ' ':
        loop.paused = !loop.paused;
        break;
    case 'n':
        loop.stepping = loop.paused;
        return;
    case 'i':
        loop.info = !loop.info;
        break;
    case 'f':
        glutFullScreenToggle();
        return;
    case '+':
    case '-':
        loop.speed_change *= key == '+' ? 2 : 0.5;
        break;
    case 's':
        takeSnapshot();
        return;
    default:
        return;
    }
    // What the info line says, or the line itself, changed.
    glutPostRedisplay();
}

void special(int key, int, int)
{
    if (key == GLUT_KEY_RIGHT)
        loop.stepping = loop.paused;
}

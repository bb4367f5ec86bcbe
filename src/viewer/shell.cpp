#include "shell.h"

#include "channel.h"
#include "counts.h"
#include "log.h"
#include "loop.h"
#include "progress.h"
#include "snapshot.h"
#include "state.h"
#include "video.h"

#include "failure.h"
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

namespace
{

int glx_request, glx_errors; // the GLX extension's request code and first error code

[[noreturn]] int lostDisplay(Display *display)
{
    clearProgress();
    writeCounts();
    // Not through exit: the libraries' clean-up would talk to the dead
    // connection and print more. The server may have closed it (another
    // client killed this one) or gone away: the cause is not known here.
    char line[512];
    const int length = std::snprintf(line, sizeof line, "skevla: X connection to %s broken\n",
                                     DisplayString(display));
    writeAll(STDERR_FILENO, line, static_cast<std::size_t>(std::min(length, 511)));
    std::_Exit(1);
}

int failedRequest(Display *display, XErrorEvent *error)
{
    // Once the window has gone, what is torn down after it fails too.
    if (leaving())
        return 0;
    // The window, or what draws in it, no longer exists: another client
    // destroyed it, which ends the run as the close button does.
    const bool gone = error->resourceid == glXGetCurrentDrawable() ||
                      error->error_code == BadWindow || error->error_code == BadDrawable ||
                      error->request_code == glx_request ||
                      (error->error_code >= glx_errors && error->error_code < glx_errors + 14);
    if (gone) {
        leave(nullptr);
        return 0;
    }
    char text[256];
    XGetErrorText(display, error->error_code, text, sizeof text);
    leaveFailing(1, "the X server refused a request: %s", text);
    return 0;
}

void windowStatus(int state)
{
    // Unmapped: it may have been destroyed by another client, which freeglut
    // does not report. Asking after it fails then, and failedRequest ends
    // the run.
    if (state == GLUT_HIDDEN) {
        XWindowAttributes attributes;
        XGetWindowAttributes(glXGetCurrentDisplay(), glXGetCurrentDrawable(), &attributes);
    }
}

} // namespace

void watchDisplay()
{
    int first_event;
    XQueryExtension(glXGetCurrentDisplay(), "GLX", &glx_request, &first_event, &glx_errors);
    XSetIOErrorHandler(lostDisplay);
    XSetErrorHandler(failedRequest);
    glutWindowStatusFunc(windowStatus);
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
    if (key >= '0' && key <= '9') {
        jumpToTenth(key - '0');
        return;
    }
    switch (key) {
    case 27: // Escape
        leave(nullptr);
        endIfLeft();
        return;
    case ' ':
        togglePause();
        break;
    case 'n':
        step();
        return;
    case 'i':
        toggleInfo();
        break;
    case 'f':
        glutFullScreenToggle();
        return;
    case '+':
    case '-':
        changeSpeed(key == '+' ? 2 : 0.5);
        break;
    case 's':
        // Saved as it is painted, which is asked for now: paused, quiet or
        // at a replay's end as well.
        takeSnapshot();
        break;
    default:
        return;
    }
    // What the info line says, or the line itself, changed.
    glutPostRedisplay();
    videoChanged(monotonicNow());
}

void closed()
{
    // GLUT destroys the window, and the GL context with it, next.
    leave(nullptr);
    endIfLeft();
}

void special(int key, int, int)
{
    // As a media player's keys move through a video: a few seconds, a
    // minute, the start and the end. Right while paused steps, as n does.
    constexpr long long seconds = 1000000000;
    switch (key) {
    case GLUT_KEY_RIGHT:
        if (paused())
            step();
        else
            jumpBy(5 * seconds);
        break;
    case GLUT_KEY_LEFT:
        jumpBy(-5 * seconds);
        break;
    case GLUT_KEY_UP:
        jumpBy(60 * seconds);
        break;
    case GLUT_KEY_DOWN:
        jumpBy(-60 * seconds);
        break;
    case GLUT_KEY_HOME:
        jumpToTenth(0);
        break;
    case GLUT_KEY_END:
        jumpToTenth(10);
        break;
    default:
        break;
    }
}

#include "shell.h"

#include "state.h"

#include <GL/freeglut_std.h>
#include <GL/glu.h>
#include <GL/glx.h>
#include <GL/glxext.h>
#include <cap-ng.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>

const char usage_text[] =
    "Usage: -md(dot) -ml(line) -mp(poly) [DEFAULT] -h winy(int) -w winx(int)\n";

verdict parseOptions(int argc, const char *const argv[], char &mode_letter, std::int32_t &width,
                     std::int32_t &height)
{
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strncmp(argument, "-m", 2) == 0) {
            mode_letter = argument[2]; // 0 for a bare -m, which draws nothing
        } else if (std::strncmp(argument, "-h", 2) == 0 || std::strncmp(argument, "-w", 2) == 0) {
            if (i + 1 == argc)
                return verdict::refused;
            (argument[1] == 'h' ? height : width) = parseSize(argv[++i]);
        } else if (std::strcmp(argument, "--help") == 0) {
            return verdict::help;
        } else {
            return verdict::refused;
        }
    }
    return verdict::run;
}

std::int32_t parseSize(const char *text)
{
    const long long value = std::strtoll(text, nullptr, 10); // saturates on overflow
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

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

const char *shedPrivileges()
{
    capng_clear(CAPNG_SELECT_ALL);
    if (capng_apply(CAPNG_SELECT_CAPS) != 0)
        return "clearing the capability sets";
    if (capng_apply(CAPNG_SELECT_AMBIENT) != 0)
        return "clearing the ambient capabilities";
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return "setting no_new_privs";
    if (capng_get_caps_process() != 0 || capng_have_capabilities(CAPNG_SELECT_CAPS) != CAPNG_NONE)
        return "checking that no capability is left";
    return nullptr;
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
}

void keyboard(unsigned char key, int, int)
{
    if (key == 27) // Escape
        std::exit(0);
}

void idle() { glutPostRedisplay(); }

// Reads back the swap interval of a real GLUT window, under an X server.
#include "shell.h"

#include <gtest/gtest.h>
// After gtest: Xlib defines None and Bool as macros.
#include <GL/freeglut.h>
#include <GL/glx.h>
#include <GL/glxext.h>

namespace
{

TEST(shell, swap_interval_is_zero_where_offered)
{
    int argc = 1;
    char name[] = "swap_test";
    char *argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE);
    glutCreateWindow("swap_test");
    unthrottleSwaps();

    Display *display = glXGetCurrentDisplay();
    const char *extensions = glXQueryExtensionsString(display, DefaultScreen(display));
    if (hasExtension(extensions, "GLX_EXT_swap_control")) {
        unsigned interval = 1;
        glXQueryDrawable(display, glXGetCurrentDrawable(), GLX_SWAP_INTERVAL_EXT, &interval);
        EXPECT_EQ(interval, 0u);
    } else if (hasExtension(extensions, "GLX_MESA_swap_control")) {
        auto get = reinterpret_cast<PFNGLXGETSWAPINTERVALMESAPROC>(
            glXGetProcAddressARB(reinterpret_cast<const GLubyte *>("glXGetSwapIntervalMESA")));
        EXPECT_EQ(get(), 0);
    } else {
        GTEST_SKIP() << "this GL offers no swap control, so there is nothing to unthrottle: "
                     << glGetString(GL_RENDERER);
    }
}

} // namespace

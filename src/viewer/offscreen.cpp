#define GL_GLEXT_PROTOTYPES
#include "offscreen.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <X11/Xlib.h>
#include <climits>

namespace
{

Display *probe;

struct framebuffer_state {
    GLuint framebuffer, colours;
    int width, height;
    unsigned long changes;           // of the picture, so far
    unsigned long drawn = ULONG_MAX; // the changes when it was last drawn in it
};
framebuffer_state target;

} // namespace

bool displayReachable()
{
    probe = XOpenDisplay(nullptr);
    return probe != nullptr;
}

void forgetDisplayProbe()
{
    if (probe)
        XCloseDisplay(probe);
    probe = nullptr;
}

bool openOffscreen(failure &why)
{
    const auto platformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    EGLDisplay display = platformDisplay ? platformDisplay(EGL_PLATFORM_SURFACELESS_MESA,
                                                           EGL_DEFAULT_DISPLAY, nullptr)
                                         : EGL_NO_DISPLAY;
    EGLint major, minor;
    const char *step = "finding Mesa's surfaceless platform";
    if (display != EGL_NO_DISPLAY &&
        (step = "starting EGL", eglInitialize(display, &major, &minor)) &&
        (step = "choosing OpenGL", eglBindAPI(EGL_OPENGL_API))) {
        step = "making a GL context";
        EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, nullptr);
        if (context != EGL_NO_CONTEXT &&
            eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context))
            return true;
    }
    return fail(why, 1,
                "cannot draw off screen with no display (%s: EGL error 0x%x); set DISPLAY to a "
                "running X server, or install Mesa's EGL (libegl-mesa0)",
                step, eglGetError());
}

bool makeFramebuffer(int width, int height, failure &why)
{
    glGenFramebuffers(1, &target.framebuffer);
    glGenRenderbuffers(1, &target.colours);
    glBindRenderbuffer(GL_RENDERBUFFER, target.colours);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                              target.colours);
    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (status != GL_FRAMEBUFFER_COMPLETE)
        return fail(why, 1, "cannot draw the video's frames off screen (framebuffer status 0x%x)",
                    status);
    target.width = width;
    target.height = height;
    return true;
}

bool bindFramebuffer(int width, int height)
{
    if (target.width == 0 || width != target.width || height != target.height)
        return false;
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    target.drawn = target.changes;
    return true;
}

void unbindFramebuffer(bool copy)
{
    if (copy) {
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
        glBlitFramebuffer(0, 0, target.width, target.height, 0, 0, target.width, target.height,
                          GL_COLOR_BUFFER_BIT, GL_NEAREST);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

void pictureChanged() { ++target.changes; }

bool framebufferHolds(int width, int height)
{
    return target.width == width && target.height == height && target.drawn == target.changes;
}

void readFramebuffer(int width, int height, unsigned char *pixels,
                     void (*draw)(int width, int height))
{
    const bool drawn = framebufferHolds(width, height);
    bindFramebuffer(width, height);
    if (!drawn)
        draw(width, height);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
    unbindFramebuffer(false);
}

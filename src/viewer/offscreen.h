// Offscreen: drawing off screen, for --video. With no display, a GL context
// of Mesa's EGL surfaceless platform, current with no surface. In either
// context, the framebuffer the video's frames are drawn in; with a window
// of its size, the window's picture is drawn there too and copied, since
// the GL may rasterize a window and a framebuffer a pixel apart, and the
// video must keep what was seen.
#pragma once

#include "failure.h"

// Whether an X display can be opened now. The connection that found out
// stays open until forgetDisplayProbe, so that a server with no other
// client does not reset between it and the window's.
bool displayReachable();
void forgetDisplayProbe();

// Makes the context current. False with why.
bool openOffscreen(failure &why);

// Once a GL context is current: the framebuffer, width x height. False
// with why.
bool makeFramebuffer(int width, int height, failure &why);

// Whether a picture of width x height is drawn in the framebuffer: it was
// made, at that size. It is then bound.
bool bindFramebuffer(int width, int height);

// Drawing goes to the window (or nowhere) again; with copy, the
// framebuffer's picture is copied into the window's.
void unbindFramebuffer(bool copy);

// The picture changed since it was last drawn in the framebuffer.
void pictureChanged();

// Whether the framebuffer holds the picture as it stands, at width x
// height: it need not be drawn again.
bool framebufferHolds(int width, int height);

// The picture at width x height as the framebuffer holds it, read back
// into pixels (rows bottom first, RGB), drawn there first with draw where
// it does not hold it as it stands. Once a GL context is current.
void readFramebuffer(int width, int height, unsigned char *pixels,
                     void (*draw)(int width, int height));

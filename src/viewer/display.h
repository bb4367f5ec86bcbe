// Display: whether the X display a window would open on is there at all,
// asked before any file the run names is opened, so that a run that could
// not show its window is refused with nothing touched. Only its socket is
// asked, with no byte of X: the connection itself is made later, with no
// privilege.
#pragma once

// The socket name of a display on this machine (":0", "unix:1.0"), or
// nullptr for a display elsewhere, or none. Pure.
const char *localSocket(const char *display, char *out, unsigned long size);

// Whether display names a display on this machine whose socket, abstract
// or in /tmp/.X11-unix, takes no connection.
bool localDisplayMissing(const char *display);

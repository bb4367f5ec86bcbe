// Authority: started as plain root, the X connection is made by skevla's
// own user, who cannot read root's X authority file. The cookies of the
// display being opened, and of no other, are copied into memory that Xlib
// reads through this process's own descriptor, and that copy is closed
// once X has connected.
#pragma once

#include <cstdio>

// The number of the display named (":0", "host:1.0"), or nullptr for a
// name with none.
const char *displayNumber(const char *display, char *out, std::size_t size);

// Copies the entries of the X authority file from that are for display
// number (or for any) to to. Returns how many. Pure but for the streams.
int copyCookies(std::FILE *from, std::FILE *to, const char *number);

// Started as plain root: copies the cookies of $DISPLAY from $XAUTHORITY
// (else ~/.Xauthority) and points XAUTHORITY at the copy.
void keepXAuthority();

// X has connected: the copy is closed, and XAUTHORITY forgotten.
void forgetXAuthority();

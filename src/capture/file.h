// File: a capture file read through libpcap, one TCP datagram (IPv4 or
// IPv6) at a time. Its header is read inside the box.
#pragma once

#include "capture.h"
#include "failure.h"
#include "filter.h"

#include <cstdio>

// Reads the capture file's header from stream, which it takes over, and
// applies the program for its link type; name is how the file is called in
// messages. False with why: status 1 for the file, 2 for a filter that
// does not suit its link type. A file opened before is closed.
bool openFile(FILE *stream, const char *name, const file_programs &programs, failure &why);

// Closes the file opened, and the stream it was read through.
void closeFile();

// The next record of the file opened: a datagram, a packet that is none,
// the end, or a failure. Every record but the end and a failure is
// stamped in taken.
outcome nextInFile(found &taken, failure &why);

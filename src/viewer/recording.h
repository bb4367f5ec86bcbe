// Recording: -o, every datagram shown written to a pcap file (link type raw
// IP, nanosecond stamps) that tcpdump and skevla -r read back. The records
// of a pass of the loop are written with one call as it ends, as its log
// lines are, and each is whole, so a program killed at any moment leaves
// every datagram it logged in the file, and tcpdump reads it to its end.
#pragma once

#include "failure.h"

#include <ctime>

// Opens path as outputs.h says: before the sandbox, which allows no such
// open. False with why when it cannot.
bool openRecording(const char *path, failure &why);

// Once nothing is left to refuse the run: truncates the file, as tcpdump's
// -w does, and writes its header. False with why when it cannot.
bool beginRecording(failure &why);

// The file being recorded to, or nullptr; its descriptor, or -1.
const char *recording();
int recordingDescriptor();

// Adds one datagram's record, its stamp, its lengths and its bytes, to what
// the next flushRecording writes (or writes what came before now, where it
// has no room).
bool recordDatagram(const unsigned char *bytes, int length, const timespec &stamp, failure &why);

// Writes the records added since the last call. False with why when the
// file does not take them whole; the file then ends at the last whole
// record, or why says it could not be cut back to it.
bool flushRecording(failure &why);

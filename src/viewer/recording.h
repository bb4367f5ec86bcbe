// Recording: -o, every datagram shown written to a pcap file (link type raw
// IP, nanosecond stamps) that tcpdump and skevla -r read back. Each record
// is written whole, with one call, when its datagram is shown, so a program
// killed at any moment leaves every datagram it showed in the file.
#pragma once

#include "failure.h"

#include <ctime>

// Creates or truncates path, as tcpdump's -w does, and writes the file's
// header: before the sandbox, which allows no such open. False with why
// when it cannot.
bool openRecording(const char *path, failure &why);

// The file being recorded to, or nullptr; its descriptor, or -1.
const char *recording();
int recordingDescriptor();

// Writes one datagram's record: its stamp, its lengths and its bytes. False
// with why when the file does not take it whole; the file then ends at the
// record before, or why says it could not be cut back to it.
bool recordDatagram(const unsigned char *bytes, int length, const timespec &stamp, failure &why);

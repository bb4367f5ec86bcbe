// Capture: the raw IPv4/TCP socket and the per-frame receive with its log.
#pragma once

#include <cstddef>
#include <netinet/in.h>

// A raw socket that is handed a copy of every TCP segment the host receives,
// IPv4 header included; -1 with errno set when it cannot be opened.
int openCapture();

// Asks for the next frame, then blocks until one datagram is in buffer and
// logs its length and sender.
void grabPacket();

// The two log lines of one receive; returns their length.
int formatLog(char *out, std::size_t size, int count, in_addr source);

// Writes text to standard output in one piece, unbuffered, so the log is
// live even when standard output is a pipe or a file.
void writeLog(const char *text, std::size_t length);

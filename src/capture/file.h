// File: a capture file read through libpcap, one TCP datagram (IPv4 or
// IPv6) at a time. The filter is compiled before the sandbox (a port name
// needs /etc/services); the file itself, header included, is read only
// inside it.
#pragma once

#include "record.h"

#include <cstddef>
#include <cstdio>
#include <string>

// Compiles expression (may be null) with tcpdump's meaning for every link
// type a file may have. False with the cause in why when it suits none.
bool prepareFileFilters(const char *expression, std::string &why);

// Reads the capture file's header from stream and applies the filter prepared
// for its link type. Returns 0, or the exit status of the failure (1 for
// the file, 2 for a filter that does not suit its link type) with its
// cause in why.
int openFile(FILE *stream, char *why, std::size_t size);

enum class read_result { datagram, skipped, ended, failed };

// Reads the next record, waiting for it. On datagram, bytes points at the
// TCP datagram in it and header holds its length and stamp; a packet that
// is none is skipped and counted in header.skipped; on failed, why holds
// the cause.
read_result readDatagram(record_header &header, const unsigned char *&bytes, char *why,
                         std::size_t size);

// Closes the file and its stream, so another can be opened. False when
// none was open.
bool closeFile();

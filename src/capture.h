// Capture: the raw IPv4/TCP socket, the live source of datagrams.
#pragma once

#include <cstddef>
#include <pcap/pcap.h>

// A raw socket that is handed a copy of every TCP segment the host receives,
// IPv4 header included; -1 with errno set when it cannot be opened.
int openCapture();

// Compiles a pcap-filter(7) expression for the handle's link type, for the
// socket here and for a replayed file alike. False with the cause in why.
bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program, char *why,
                   std::size_t size);

// Compiles expression for the socket's datagrams, IPv4 header first. Needs
// no socket, so a bad expression is found before anything is opened. False
// with the cause in why.
bool compileSocketFilter(const char *expression, bpf_program &program, char *why, std::size_t size);

// Lets only the datagrams that program accepts reach the socket, filtered in
// the kernel; frees program. Needs no privilege. False with the cause in why.
bool attachFilter(int socket_fd, bpf_program &program, char *why, std::size_t size);

// Keeps only the datagrams that arrive on the named interface. Needs the
// capture privilege. False with errno set when it fails (ENODEV for an
// empty name, which the kernel would take as every interface).
bool bindInterface(int socket_fd, const char *name);

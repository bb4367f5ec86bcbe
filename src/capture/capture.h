// Capture: the capture process, whether the helper (live) or the child a
// replay forks. It holds the sockets or the file and nothing else, reads
// and decodes every untrusted byte inside an allowlist sandbox, and hands
// the viewer finished records over the channel, one each time it is asked.
#pragma once

#include "failure.h"
#include "record.h"

#include <cstdint>
#include <sys/types.h>

// What a source gives when asked for the next datagram.
enum class outcome {
    datagram,    // one, in the found
    skipped,     // a packet of a file that is not a TCP datagram
    nothing_yet, // the channel has a request before anything came
    gone,        // the interface went down or away
    ended,       // the file has no more
    failed,      // the file cannot be read on
};

struct found {
    const unsigned char *bytes; // from the IP header on
    std::int32_t length;        // as logged: the datagram's length, -1 for a failed receive
    std::uint32_t captured;     // bytes held of it
    std::uint32_t wire;         // its length on the wire, which a file may hold less of
    std::int64_t seconds;       // when it was received, or recorded
    std::uint32_t nanoseconds;
    std::uint64_t dropped; // the kernel's drops as the receive reported them
};

// Where datagrams come from: the capture sockets or a capture file.
struct source {
    // The next datagram, waiting for it; on gone and failed, why says why.
    outcome (*next)(int channel, found &taken, failure &why);
    // The kernel's drops for the sockets as they stand; 0 for a file.
    std::uint64_t (*drops)();
    // Datagrams taken from the kernel and kept back; 0 for a file.
    std::uint64_t (*held)();
};

// Sends the viewer a start-up failure, then ends the process with its
// status.
[[noreturn]] void failCapture(int channel, const failure &why);

// Ties the process to the viewer: the parent's death kills it, and SIGINT,
// SIGTERM and SIGUSR1 are ignored (the viewer decides when it ends). Ends
// the process at once if the viewer is gone already.
void followViewer(int channel, pid_t parent);

// Boxes the process in for good, once it holds what it reads and has
// given up its privileges: it follows the viewer; /dev/null is on 0 to 2,
// so no terminal is reachable; and, with sandbox, only the calls that
// reading the input and writing the channel need are allowed. Fails the
// start when it cannot.
void boxOrFail(int channel, pid_t parent, bool sandbox);

// Tells the viewer it is ready, then answers it until it goes away or the
// input ends.
[[noreturn]] void serve(int channel, const source &input);

// The forked child of a replay: reads the file at path ("-": the
// descriptor input) filtered by expression, in the box.
[[noreturn]] void captureFile(int channel, const char *path, int input, const char *expression,
                              pid_t parent, bool sandbox);

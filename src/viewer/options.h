// Options: the command line, read once at start-up.
#pragma once

#include <cstdint>

// The synopsis, for standard error on a bad command line and standard output
// on --help. Its first line is the original one, word for word.
extern const char usage_text[];

// The keys, which --help lists after the usage text.
extern const char keys_text[];

// What the command line asks for. The caller fills mode, winx and winy with
// their defaults; everything else is off unless given.
struct options {
    char mode;                       // -m<letter>: p poly, d dot, l line
    std::int32_t winx;               // -w: window width in pixels
    std::int32_t winy;               // -h: window height in pixels
    const char *filter = nullptr;    // -f: capture filter, pcap-filter(7)
    const char *interface = nullptr; // -i: capture on this interface only
    const char *direction = nullptr; // -Q: "out" or "inout"; nullptr for in, what is received
    unsigned long ring_kib = 0;      // -B: the capture ring in KiB, 0 for the helper's default
    const char *file = nullptr;      // -r: capture file to replay, "-" for stdin
    bool top_speed = false;          // -t: replay as fast as frames allow
    double speed = 1.0;              // -x: the replay's pace, times the recorded one
    std::int64_t from = 0;           // --from: where in the capture the replay begins, in ns
    std::int64_t to = -1;            // --to: where it ends, -1 for the capture's end
    const char *record = nullptr;    // -o: pcap file of every datagram shown
    unsigned long fps = 0;           // --fps: frames drawn a second at most, 0 for every datagram
    const char *snapshots = nullptr; // --snapshots: where s saves, nullptr for here
    const char *video = nullptr;     // --video: the video file of what is shown
    bool sandbox = true;             // --no-sandbox: for profilers that write files
    unsigned long count = 0;         // -c: end after this many datagrams, 0 for never
    bool one_line = false;           // -v: one tcpdump-like line per datagram
    char why[256] = "";              // why the command line was refused
};

enum class verdict { run, help, version, list_interfaces, refused };

// Reads the arguments into settings; later options win. Only the first two
// characters of an argument are compared, so -mdot is d and -width is -w;
// --help, --version, --no-sandbox, --fps, --snapshots and --video are matched
// whole. A video file whose extension names no kind of video, a window
// larger than its kind of video takes, an unknown
// argument, a missing value, a count that is not a positive integer, a
// direction other than in, out and inout, a ring size out of bounds, -i,
// -Q or -B with -r, -t, -x, --from and --to without -r, a malformed time,
// and --to not after --from are refused, with the reason in settings.why.
// No output, no exit, argv left as it is.
verdict parseOptions(int argc, const char *const argv[], options &settings);

// The window's size as GLUT makes it: as asked, unless a side is not
// positive, then GLUT's default, 300 x 300; a video, and a picture drawn off
// screen, take the same. Pure.
void windowSize(const options &settings, std::int32_t &width, std::int32_t &height);

// A size argument as a base-10 integer: leading white space and a sign
// allowed, digits read up to the first non-digit, none giving 0, values past
// the 32-bit range clamped to its nearest limit.
std::int32_t parseSize(const char *text);

// A replay speed: a decimal number from 0.01 to 1000, nothing else; 0 when
// the text is not one.
double parseFactor(const char *text);

// A count argument: a whole positive decimal number, nothing else; 0 when
// the text is not one.
unsigned long parseCount(const char *text);

#include "options.h"

#include "clip.h"
#include "picture.h"
#include "ring.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char usage_text[] =
    "Usage: -md(dot) -ml(line) -mp(poly) [DEFAULT] -h winy(int) -w winx(int)\n"
    "       -f filter(expression) -i interface(name) -Q direction(in=received [DEFAULT], out=sent, "
    "inout=both) -B size(capture buffer in KiB, 256-1048576, default 2048) -c count(int)"
    " -v(one line each) -D(list interfaces) --version\n"
    "       -r file(capture, - for stdin) -t(replay at top speed) -x factor(replay speed, "
    "0.01-1000)"
    " -o file(record what is shown) --from time --to time(replay that part of it: 90, 1:30, "
    "3:10:00.5)\n"
    "       --fps N(cap the frames drawn, 1-1000) --snapshots dir(where s saves, default .)"
    " --video file(what is shown, .mp4 .webm .mkv)"
    " --no-sandbox(for profilers and debuggers) --help\n";

const char keys_text[] =
    "Keys:  Escape quit   Space pause, resume   n, Right one datagram while paused   i info line\n"
    "       s save a PNG   f full screen   +, - replay twice, half as fast\n"
    "       Left, Right replay 5 s back, on   Down, Up a minute back, on   Home, End its start, "
    "end   0-9 0% to 90% of it\n";

namespace
{

verdict refuse(options &settings, const char *format, const char *detail = "")
{
    std::snprintf(settings.why, sizeof settings.why, format, detail);
    return verdict::refused;
}

// Whether a file's own name (after its last slash) is an extension of a
// video alone, with no name before it: ".mp4".
bool bareExtension(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    for (const char *extension : video_extensions)
        if (strcasecmp(name, extension) == 0)
            return true;
    return false;
}

} // namespace

verdict parseOptions(int argc, const char *const argv[], options &settings)
{
    bool list_interfaces = false, direction_given = false;
    const char *from_given = nullptr, *to_given = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--help") == 0)
            return verdict::help;
        if (std::strcmp(argument, "--version") == 0)
            return verdict::version;
        if (std::strcmp(argument, "--no-sandbox") == 0) {
            settings.sandbox = false;
            continue;
        }
        if (std::strcmp(argument, "--from") == 0 || std::strcmp(argument, "--to") == 0) {
            if (i + 1 == argc)
                return refuse(settings, "%s needs a value", argument);
            const char *value = argv[++i];
            std::int64_t &offset = argument[2] == 'f' ? settings.from : settings.to;
            if (!parseOffset(value, offset)) {
                std::snprintf(settings.why, sizeof settings.why,
                              "%s needs a time into the capture such as 90, 1:30 or 3:10:00.5, not "
                              "'%.64s'",
                              argument, value);
                return verdict::refused;
            }
            (argument[2] == 'f' ? from_given : to_given) = value;
            continue;
        }
        if (std::strcmp(argument, "--fps") == 0 || std::strcmp(argument, "--snapshots") == 0 ||
            std::strcmp(argument, "--video") == 0) {
            if (i + 1 == argc)
                return refuse(settings, "%s needs a value", argument);
            const char *value = argv[++i];
            if (argument[2] == 's')
                settings.snapshots = value;
            else if (argument[2] == 'v' && bareExtension(value))
                return refuse(settings,
                              "--video %.64s names no file before its extension; "
                              "name one such as run.mp4",
                              value);
            else if (argument[2] == 'v' && videoKind(value) < 0)
                return refuse(settings, "--video needs a file ending in .mp4, .webm or .mkv");
            else if (argument[2] == 'v')
                settings.video = value;
            else if ((settings.fps = parseCount(value)) == 0 || settings.fps > 1000)
                return refuse(settings, "--fps needs a whole number of frames from 1 to 1000");
            continue;
        }
        if (argument[0] != '-' || argument[1] == '\0' || argument[1] == '-')
            return refuse(settings, "unknown option '%.64s'", argument);
        const char letter = argument[1];
        if (letter == 'm') {
            settings.mode = argument[2]; // 0 for a bare -m, which draws nothing
            continue;
        }
        if (std::strchr("tvD", letter) != nullptr) {
            settings.top_speed |= letter == 't';
            settings.one_line |= letter == 'v';
            list_interfaces |= letter == 'D';
            continue;
        }
        if (std::strchr("hwfircQxoB", letter) == nullptr)
            return refuse(settings, "unknown option '%.64s'", argument);
        if (i + 1 == argc) {
            const char flag[] = {'-', letter, '\0'};
            return refuse(settings, "%s needs a value", flag);
        }
        const char *value = argv[++i];
        switch (letter) {
        case 'h':
        case 'w':
            // X keeps window sizes in 16 bits.
            (letter == 'h' ? settings.winy : settings.winx) = parseSize(value);
            if (parseSize(value) > 32767) {
                const char flag[] = {'-', letter, '\0'};
                return refuse(settings, "%s must be at most 32767 pixels, as X allows", flag);
            }
            break;
        case 'f':
            settings.filter = value[0] ? value : nullptr; // empty, as tcpdump takes it: all
            break;
        case 'i':
            settings.interface = value;
            break;
        case 'x':
            if ((settings.speed = parseFactor(value)) == 0)
                return refuse(settings, "-x needs a factor from 0.01 to 1000");
            break;
        case 'o':
            settings.record = value;
            break;
        case 'Q':
            if (std::strcmp(value, "in") != 0 && std::strcmp(value, "out") != 0 &&
                std::strcmp(value, "inout") != 0)
                return refuse(settings, "-Q needs in, out or inout");
            settings.direction = std::strcmp(value, "in") == 0 ? nullptr : value;
            direction_given = true;
            break;
        case 'c':
            if ((settings.count = parseCount(value)) == 0)
                return refuse(settings, "-c needs a positive count");
            break;
        case 'B':
            settings.ring_kib = parseCount(value);
            if (settings.ring_kib < ring_least_kib || settings.ring_kib > ring_most_kib) {
                std::snprintf(settings.why, sizeof settings.why,
                              "-B needs a whole number of KiB from %u to %u", ring_least_kib,
                              ring_most_kib);
                return verdict::refused;
            }
            break;
        default:
            settings.file = value;
        }
    }
    if (list_interfaces)
        return verdict::list_interfaces;
    if (settings.interface && settings.file)
        return refuse(settings, "-i cannot be used with -r");
    if (direction_given && settings.file)
        return refuse(settings, "-Q cannot be used with -r");
    if (settings.ring_kib && settings.file)
        return refuse(settings, "-B cannot be used with -r");
    if (settings.top_speed && !settings.file)
        return refuse(settings, "-t needs -r");
    if (settings.speed != 1.0 && !settings.file)
        return refuse(settings, "-x needs -r");
    if ((from_given || to_given) && !settings.file)
        return refuse(settings, "%s needs -r: it chooses a part of a capture file",
                      from_given ? "--from" : "--to");
    if (from_given && to_given && settings.to <= settings.from) {
        std::snprintf(settings.why, sizeof settings.why, "--to %.32s is not after --from %.32s",
                      to_given, from_given);
        return verdict::refused;
    }
    if (std::int32_t width, height; settings.video) {
        windowSize(settings, width, height);
        const int kind = videoKind(settings.video);
        if (!videoSizeTaken(kind, static_cast<std::uint32_t>(width),
                            static_cast<std::uint32_t>(height))) {
            std::snprintf(settings.why, sizeof settings.why,
                          "a %s video of %d x %d pixels is more than its encoder takes (%s); ask "
                          "for less with -w and -h",
                          video_extensions[kind], width, height,
                          kind == h264_kind ? "16384 on a side at most, and fewer than 268 "
                                              "million pixels"
                                            : "fewer than 268 million pixels");
            return verdict::refused;
        }
    }
    return verdict::run;
}

void windowSize(const options &settings, std::int32_t &width, std::int32_t &height)
{
    const bool asked = settings.winx > 0 && settings.winy > 0;
    width = asked ? settings.winx : 300;
    height = asked ? settings.winy : 300;
}

std::int32_t parseSize(const char *text)
{
    const long long value = std::strtoll(text, nullptr, 10); // saturates on overflow
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

double parseFactor(const char *text)
{
    if (text[0] < '0' || text[0] > '9')
        return 0;
    char *end;
    const double factor = std::strtod(text, &end);
    return *end == '\0' && factor >= 0.01 && factor <= 1000 ? factor : 0;
}

unsigned long parseCount(const char *text)
{
    if (text[0] < '0' || text[0] > '9')
        return 0;
    char *end;
    errno = 0;
    const unsigned long count = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' ? count : 0;
}

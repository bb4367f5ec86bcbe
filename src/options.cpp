#include "options.h"

#include <climits>
#include <cstdlib>
#include <cstring>

const char usage_text[] =
    "Usage: -md(dot) -ml(line) -mp(poly) [DEFAULT] -h winy(int) -w winx(int)\n"
    "       -f filter(expression) -i interface(name) -r file(capture, - for stdin)"
    " -t(replay at top speed)\n"
    "       --no-sandbox(for profilers and debuggers) --help\n";

verdict parseOptions(int argc, const char *const argv[], options &settings)
{
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--help") == 0)
            return verdict::help;
        if (std::strcmp(argument, "--no-sandbox") == 0) {
            settings.sandbox = false;
            continue;
        }
        if (argument[0] != '-' || argument[1] == '\0')
            return verdict::refused;
        const char letter = argument[1];
        if (letter == 'm') {
            settings.mode = argument[2]; // 0 for a bare -m, which draws nothing
            continue;
        }
        if (letter == 't') {
            settings.top_speed = true;
            continue;
        }
        if (std::strchr("hwfir", letter) == nullptr)
            return verdict::refused;
        if (i + 1 == argc)
            return verdict::refused;
        const char *value = argv[++i];
        switch (letter) {
        case 'h':
            settings.winy = parseSize(value);
            break;
        case 'w':
            settings.winx = parseSize(value);
            break;
        case 'f':
            settings.filter = value;
            break;
        case 'i':
            settings.interface = value;
            break;
        default:
            settings.file = value;
        }
    }
    if ((settings.interface && settings.file) || (settings.top_speed && !settings.file))
        return verdict::refused;
    return verdict::run;
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

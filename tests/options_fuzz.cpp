// Fuzzes the option parser with arbitrary argument vectors: the input is
// split at zero bytes into arguments. Every vector must come back as
// settings, help or a refusal, and leave the vector as it was.
#include "options.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> arguments{"skevla"};
    arguments.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<char>(data[i]);
    }
    std::vector<const char *> argv;
    for (const auto &argument : arguments)
        argv.push_back(argument.c_str());
    const std::vector<const char *> before = argv;
    argv.push_back(nullptr); // as the kernel hands it over

    options settings{.mode = 'p', .winx = 500, .winy = 500};
    const verdict outcome = parseOptions(static_cast<int>(arguments.size()), argv.data(), settings);
    argv.pop_back();
    const bool known = outcome == verdict::run || outcome == verdict::help ||
                       outcome == verdict::version || outcome == verdict::list_interfaces ||
                       (outcome == verdict::refused && settings.why[0] != '\0');
    if (!known || argv != before)
        std::abort();
    return 0;
}

#include "boxes.h"

#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

bool loadRules(std::uint32_t otherwise, std::span<const rule> rules, bool every_thread,
               const char *what, failure &why)
{
    scmp_filter_ctx filter = seccomp_init(otherwise);
    if (!filter)
        return fail(why, 1, "cannot enter %s (starting the filter): %s", what,
                    std::strerror(ENOMEM));
    // libseccomp returns the negated errno; 0 once every step went well.
    int result = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    if (result == 0 && every_thread)
        result = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
    for (std::size_t at = 0; result == 0 && at < rules.size(); ++at)
        result = seccomp_rule_add_array(filter, rules[at].action, rules[at].call,
                                        rules[at].arguments, rules[at].compare);
    const char *failed = result != 0 ? "building the filter" : nullptr;
    if (!failed && (result = seccomp_load(filter)) != 0)
        failed = "loading the filter into the kernel";
    seccomp_release(filter);
    return !failed || fail(why, 1, "cannot enter %s (%s): %s; --no-sandbox runs without it", what,
                           failed, std::strerror(-result));
}

namespace
{

// The ruleset as the kernel reads it, from ABI 1 (file system), 4
// (network) and 6 (scoping); older headers lack the later fields.
struct landlock_ruleset {
    std::uint64_t handled_access_fs, handled_access_net, scoped;
};
constexpr std::uint64_t refer = 1ULL << 13, truncating = 1ULL << 14;
constexpr std::uint64_t abstract_sockets = 1ULL << 0, signals = 1ULL << 1;

} // namespace

bool enterLandlock(std::span<const beneath> rules, bool &missing, failure &why)
{
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    missing = abi < 1;
    if (missing)
        return true;
    // Reading stays as it was; everything that changes the file system is
    // handled, so only the rules allow it.
    landlock_ruleset handled{LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                                 LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                                 LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                                 LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                                 LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM |
                                 (abi >= 2 ? refer : 0) | (abi >= 3 ? truncating : 0),
                             0, abi >= 6 ? abstract_sockets | signals : 0};
    const std::size_t size = abi >= 6   ? sizeof handled
                             : abi >= 4 ? offsetof(landlock_ruleset, scoped)
                                        : offsetof(landlock_ruleset, handled_access_net);
    const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &handled, size, 0));
    if (ruleset < 0)
        return fail(why, 1,
                    "cannot enter Landlock (making the rule set): %s; --no-sandbox runs "
                    "without it",
                    std::strerror(errno));
    bool ruled = true;
    for (const beneath &rule : rules) {
        landlock_path_beneath_attr path{rule.allow, rule.directory};
        ruled = ruled &&
                syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &path, 0) == 0;
    }
    ruled = ruled && syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    const int cause = errno;
    close(ruleset);
    return ruled || fail(why, 1, "cannot enter Landlock: %s; --no-sandbox runs without it",
                         std::strerror(cause));
}

bool closeAbove(int last) { return close_range(static_cast<unsigned>(last) + 1, ~0u, 0) == 0; }

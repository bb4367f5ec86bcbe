#include "privileges.h"

#include <cap-ng.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace
{

bool parseId(const char *text, unsigned long &id)
{
    if (!text || text[0] < '0' || text[0] > '9')
        return false;
    char *end;
    errno = 0;
    id = std::strtoul(text, &end, 10);
    // -1 is no id: the kernel reads it as "leave unchanged".
    return errno == 0 && *end == '\0' && id < 0xFFFFFFFFul;
}

// Empties the bounding set while the process may (root holds
// CAP_SETPCAP), so no later exec could hand a capability back; a user with
// a file capability cannot, and has nothing above it to lose.
void clearBoundingSet()
{
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap)
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
}

} // namespace

bool parseIds(const char *uid_text, const char *gid_text, uid_t &uid, gid_t &gid)
{
    unsigned long user, group;
    if (!parseId(uid_text, user) || !parseId(gid_text, group))
        return false;
    uid = static_cast<uid_t>(user);
    gid = static_cast<gid_t>(group);
    return true;
}

namespace
{

// Under sudo, the user who ran it. Returns the step that failed, or nullptr.
const char *becomeInvokingUser()
{
    uid_t uid;
    gid_t gid;
    if (!parseIds(std::getenv("SUDO_UID"), std::getenv("SUDO_GID"), uid, gid)) {
        errno = EINVAL;
        return "reading SUDO_UID and SUDO_GID";
    }
    const char *name = std::getenv("SUDO_USER");
    if ((name && name[0] ? initgroups(name, gid) : setgroups(1, &gid)) != 0)
        return "taking the invoking user's groups";
    if (setgid(gid) != 0)
        return "taking the invoking user's group id";
    if (setuid(uid) != 0)
        return "taking the invoking user's id";
    // Xlib looks for the user's .Xauthority in HOME (unless XAUTHORITY
    // names one), and sudo leaves root's.
    if (const passwd *user = getpwuid(uid); user && user->pw_dir[0])
        setenv("HOME", user->pw_dir, 1);
    return nullptr;
}

// Root owns files that a uid-0 parser could change.
const char *becomeNobody()
{
    const passwd *nobody = getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    if (setgroups(1, &gid) != 0)
        return "dropping root's groups";
    if (setgid(gid) != 0)
        return "taking nobody's group id";
    if (setuid(uid) != 0)
        return "taking nobody's id";
    return nullptr;
}

const char *shed()
{
    capng_clear(CAPNG_SELECT_ALL);
    if (capng_apply(CAPNG_SELECT_CAPS) != 0)
        return "clearing the capability sets";
    if (capng_apply(CAPNG_SELECT_AMBIENT) != 0)
        return "clearing the ambient capabilities";
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return "setting no_new_privs";
    if (capng_get_caps_process() != 0 || capng_have_capabilities(CAPNG_SELECT_CAPS) != CAPNG_NONE)
        return "checking that no capability is left";
    return nullptr;
}

} // namespace

bool dropAll(identity who, failure &why)
{
    const bool root = getuid() == 0 || geteuid() == 0;
    const bool sudo = getuid() == 0 && std::getenv("SUDO_UID") && std::getenv("SUDO_GID");
    clearBoundingSet();
    const char *failed = nullptr;
    if (sudo)
        failed = becomeInvokingUser();
    else if (root && who == identity::unprivileged)
        failed = becomeNobody();
    if (!failed)
        failed = shed();
    return !failed || fail(why, 1, "cannot drop privileges (%s): %s; refusing to go on with them",
                           failed, std::strerror(errno));
}

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

const char *executablePath()
{
    static char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "skevla";
    path[length] = '\0';
    return path;
}

const char *shellWord(const char *text, char *out, std::size_t size)
{
    const bool plain =
        text[0] != '\0' &&
        text[std::strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "/._+-,:@%")] == '\0';
    std::size_t at = 0;
    const auto put = [&](const char *piece) {
        for (; *piece && at + 1 < size; ++piece)
            out[at++] = *piece;
    };
    if (plain) {
        put(text);
    } else {
        put("'");
        for (const char *c = text; *c; ++c) {
            const char one[2] = {*c, '\0'};
            put(*c == '\'' ? "'\\''" : one);
        }
        put("'");
    }
    out[at] = '\0';
    return out;
}

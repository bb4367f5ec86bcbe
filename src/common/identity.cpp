#include "identity.h"

#include <algorithm>
#include <cap-ng.h>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <iterator>
#include <pwd.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

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

// Empties the bounding set while the process may (root has
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

bool underSudo() { return getuid() == 0 && std::getenv("SUDO_UID") && std::getenv("SUDO_GID"); }

// Under sudo, the user who ran it. Returns the step that failed, or nullptr.
const char *becomeSudoUser()
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

// Whether a running process has id as a user or group id, real, effective,
// saved or for the file system.
bool inUse(unsigned id)
{
    DIR *processes = opendir("/proc");
    bool used = false;
    for (const dirent *entry; !used && processes && (entry = readdir(processes));) {
        char path[300], line[256];
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::snprintf(path, sizeof path, "/proc/%s/status", entry->d_name);
        FILE *status = std::fopen(path, "re");
        while (status && !used && std::fgets(line, sizeof line, status)) {
            unsigned ids[4];
            if ((std::sscanf(line, "Uid: %u %u %u %u", &ids[0], &ids[1], &ids[2], &ids[3]) == 4 ||
                 std::sscanf(line, "Gid: %u %u %u %u", &ids[0], &ids[1], &ids[2], &ids[3]) == 4))
                used = std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
        }
        if (status)
            std::fclose(status);
    }
    if (processes)
        closedir(processes);
    return used;
}

bool anAccount(unsigned id) { return getpwuid(id) || getgrgid(id); }

// Where systemd marks the ids of its dynamic users as taken: a file per id,
// locked for as long as the id is in use. Skevla takes its id the same way,
// so that neither systemd nor another run takes it meanwhile.
constexpr char dynamic_locks[] = "/run/systemd/dynamic-uid";

// The ids of the range whose lock files are there.
std::vector<unsigned> leftLocks()
{
    std::vector<unsigned> ids;
    DIR *locks = opendir(dynamic_locks);
    for (const dirent *entry; locks && (entry = readdir(locks));) {
        unsigned long id;
        if (parseId(entry->d_name, id) && id >= dynamic_first && id <= dynamic_last)
            ids.push_back(static_cast<unsigned>(id));
    }
    if (locks)
        closedir(locks);
    return ids;
}

// Keeps id's lock file open and locked until the process ends: 1 when it now does,
// 0 when another process has it locked, -1 with errno set when it cannot
// tell.
int lockId(unsigned id, char *path, std::size_t size)
{
    for (const char *directory : {"/run/systemd", dynamic_locks})
        if (mkdir(directory, 0755) != 0 && errno != EEXIST) {
            std::snprintf(path, size, "%s", directory);
            return -1;
        }
    std::snprintf(path, size, "%s/%u", dynamic_locks, id);
    const int lock = open(path, O_CREAT | O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (lock < 0)
        return -1;
    if (lockf(lock, F_TLOCK, 0) == 0)
        return 1; // kept open: closing it would let the lock go
    const int cause = errno;
    close(lock);
    errno = cause;
    return cause == EAGAIN || cause == EACCES ? 0 : -1;
}

// Root owns files, and nobody is shared with many daemons: skevla's own id
// is neither.
const char *becomeOwnUser(uid_t uid, gid_t gid, bool gpu_groups)
{
    gid_t groups[3] = {gid};
    std::size_t count = 1;
    for (const char *name : {"video", "render"})
        if (const group *owner = gpu_groups ? getgrnam(name) : nullptr)
            groups[count++] = owner->gr_gid;
    if (setgroups(count, groups) != 0)
        return "dropping root's groups";
    if (setgid(gid) != 0)
        return "taking skevla's own group id";
    if (setuid(uid) != 0)
        return "taking skevla's own id";
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

namespace
{

bool refuseToGoOn(const char *failed, failure &why)
{
    return fail(why, 1, "cannot drop privileges (%s): %s; refusing to go on with them", failed,
                std::strerror(errno));
}

} // namespace

bool ownId(uid_t &uid, gid_t &gid, failure &why)
{
    // Handed down by the viewer: one of the range that no account has.
    unsigned long given;
    if (const char *text = std::getenv("SKEVLA_UID"); text && parseId(text, given)) {
        if (given < dynamic_first || given > dynamic_last || anAccount(given)) {
            errno = EINVAL;
            return fail(why, 1, "SKEVLA_UID=%s is no id of skevla's own", text);
        }
        uid = static_cast<uid_t>(given);
        gid = static_cast<gid_t>(given);
        return true;
    }
    unsigned start = 0;
    if (getrandom(&start, sizeof start, 0) != sizeof start)
        start = static_cast<unsigned>(getpid());
    const unsigned span = dynamic_last - dynamic_first + 1;
    // The ids whose lock files earlier runs left are taken again first, so
    // the files do not pile up; then the range, from a random start.
    std::vector<unsigned> left = leftLocks();
    for (unsigned tried = 0; tried < left.size() + span; ++tried) {
        const unsigned id =
            tried < left.size() ? left[tried] : dynamic_first + (start + tried) % span;
        // A process left running with it, which holds no lock, has it too.
        if (anAccount(id) || inUse(id))
            continue;
        char lock[64];
        const int locked = lockId(id, lock, sizeof lock);
        if (locked < 0)
            return fail(why, 1, "cannot keep an id of skevla's own (%s): %s; run skevla with sudo",
                        lock, std::strerror(errno));
        if (locked == 0)
            continue;
        char text[16];
        std::snprintf(text, sizeof text, "%u", id);
        setenv("SKEVLA_UID", text, 1);
        uid = id;
        gid = id;
        return true;
    }
    errno = EAGAIN;
    return fail(why, 1,
                "no id of the range %u to %u is free for skevla's own; run skevla with sudo",
                dynamic_first, dynamic_last);
}

bool chooseOwnId(failure &why)
{
    uid_t uid;
    gid_t gid;
    return getuid() != 0 || underSudo() || ownId(uid, gid, why);
}

uid_t runUser()
{
    uid_t uid;
    gid_t gid;
    return underSudo() && parseIds(std::getenv("SUDO_UID"), std::getenv("SUDO_GID"), uid, gid)
               ? uid
               : geteuid();
}

bool becomeInvokingUser(failure &why)
{
    if (!underSudo())
        return true;
    clearBoundingSet();
    const char *failed = becomeSudoUser();
    return !failed || refuseToGoOn(failed, why);
}

bool dropAll(identity who, failure &why)
{
    const bool root = getuid() == 0 || geteuid() == 0;
    const bool sudo = underSudo();
    clearBoundingSet();
    const char *failed = nullptr;
    uid_t own_uid;
    gid_t own_gid;
    if (sudo)
        failed = becomeSudoUser();
    else if (root && !ownId(own_uid, own_gid, why))
        return false;
    else if (root)
        failed = becomeOwnUser(own_uid, own_gid, who == identity::drawing);
    if (!failed)
        failed = shed();
    return !failed || refuseToGoOn(failed, why);
}

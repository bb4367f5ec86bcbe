#include "sandbox.h"

#include "boxes.h"
#include "identity.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <sched.h>
#include <seccomp.h>
#include <span>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr std::uint32_t refuse = SCMP_ACT_ERRNO(EPERM);

// Not yet named by every libseccomp: fchmodat2 of Linux 6.6.
constexpr int fchmodat2_call = 452;

// ioctl requests that push input into a terminal (TIOCSTI) or act on the
// console (TIOCLINUX); the kernel reads the request's low 32 bits.
constexpr scmp_arg_cmp request(unsigned long value)
{
    return {1, SCMP_CMP_MASKED_EQ, 0xFFFFFFFF, value};
}

const rule refused[] = {
    {refuse, SCMP_SYS(execve)},
    {refuse, SCMP_SYS(execveat)},
    {refuse, SCMP_SYS(process_vm_readv)},
    {refuse, SCMP_SYS(process_vm_writev)},
    {refuse, SCMP_SYS(pidfd_getfd)},
    {refuse, SCMP_SYS(pidfd_open)},
    {refuse, SCMP_SYS(pidfd_send_signal)},
    {refuse, SCMP_SYS(process_madvise)},
    {refuse, SCMP_SYS(kcmp)},
#ifndef SKEVLA_SANITIZE
    // LeakSanitizer stops the world with ptrace at exit; only the sanitized
    // test build keeps it.
    {refuse, SCMP_SYS(ptrace)},
    // Threads only: no new process. LeakSanitizer clones its tracer at exit.
    {refuse, SCMP_SYS(clone), 1, {{0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0}}},
#endif
    {refuse, SCMP_SYS(socket)},
    {refuse, SCMP_SYS(socketpair)},
    {refuse, SCMP_SYS(connect)},
    {refuse, SCMP_SYS(bind)},
    {refuse, SCMP_SYS(listen)},
    {refuse, SCMP_SYS(accept)},
    {refuse, SCMP_SYS(accept4)},
    {refuse, SCMP_SYS(creat)},
    {refuse, SCMP_SYS(truncate)},
    {refuse, SCMP_SYS(link)},
    {refuse, SCMP_SYS(linkat)},
    {refuse, SCMP_SYS(symlink)},
    {refuse, SCMP_SYS(symlinkat)},
    {refuse, SCMP_SYS(rename)},
    {refuse, SCMP_SYS(renameat)},
    {refuse, SCMP_SYS(renameat2)},
    {refuse, SCMP_SYS(unlink)},
    {refuse, SCMP_SYS(unlinkat)},
    {refuse, SCMP_SYS(mkdir)},
    {refuse, SCMP_SYS(mkdirat)},
    {refuse, SCMP_SYS(mknod)},
    {refuse, SCMP_SYS(mknodat)},
    {refuse, SCMP_SYS(chmod)},
    {refuse, SCMP_SYS(fchmodat)},
    {refuse, fchmodat2_call},
    {refuse, SCMP_SYS(chown)},
    {refuse, SCMP_SYS(lchown)},
    {refuse, SCMP_SYS(fchownat)},
    {refuse, SCMP_SYS(fchmod)},
    {refuse, SCMP_SYS(fchown)},
    {refuse, SCMP_SYS(setxattr)},
    {refuse, SCMP_SYS(lsetxattr)},
    {refuse, SCMP_SYS(fsetxattr)},
    {refuse, SCMP_SYS(removexattr)},
    {refuse, SCMP_SYS(lremovexattr)},
    {refuse, SCMP_SYS(fremovexattr)},
    {refuse, SCMP_SYS(utime)},
    {refuse, SCMP_SYS(utimes)},
    {refuse, SCMP_SYS(futimesat)},
    {refuse, SCMP_SYS(utimensat)},
    {refuse, SCMP_SYS(fallocate)},
    // Sending goes through writes on what is connected (X, the channel).
    {refuse, SCMP_SYS(sendto)},
    {refuse, SCMP_SYS(sendmmsg)},
    {refuse, SCMP_SYS(setsockopt)},
    {refuse, SCMP_SYS(fork)},
    {refuse, SCMP_SYS(vfork)},
    {refuse, SCMP_SYS(unshare)},
    {refuse, SCMP_SYS(setns)},
    {refuse, SCMP_SYS(mount)},
    {refuse, SCMP_SYS(keyctl)},
    {refuse, SCMP_SYS(add_key)},
    {refuse, SCMP_SYS(request_key)},
    {refuse, SCMP_SYS(userfaultfd)},
    {refuse, SCMP_SYS(perf_event_open)},
    {refuse, SCMP_SYS(bpf)},
    // Its operations would pass the filter unchecked.
    {refuse, SCMP_SYS(io_uring_setup)},
    {refuse, SCMP_SYS(ioctl), 1, {request(0x5412)}},
    {refuse, SCMP_SYS(ioctl), 1, {request(0x541C)}},
    // Their arguments lie in memory the filter cannot read; ENOSYS makes
    // callers fall back to openat and clone.
    {SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2)},
    {SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3)},
};

// System V IPC, from before the GL driver starts. Its drawing into an X
// window goes through shared memory the X server attaches by id (MIT-SHM),
// which only segments of a picture's size, private, of the owner alone and
// removed once attached need; no queue, no semaphore. Another run's
// segments are another user's (each run started as root has an id of its
// own): neither this process nor the X server on its behalf may attach
// them. With no X, none at all.
std::vector<rule> ipcRules(std::size_t picture_bytes)
{
    std::vector<rule> rules;
    for (const int call :
         {SCMP_SYS(msgget), SCMP_SYS(msgsnd), SCMP_SYS(msgrcv), SCMP_SYS(msgctl), SCMP_SYS(semget),
          SCMP_SYS(semop), SCMP_SYS(semtimedop), SCMP_SYS(semctl)})
        rules.push_back({refuse, call});
    if (picture_bytes == 0) {
        for (const int call : {SCMP_SYS(shmget), SCMP_SYS(shmat), SCMP_SYS(shmctl)})
            rules.push_back({refuse, call});
        return rules;
    }
    const scmp_datum_t creating = IPC_CREAT | 0600;
    rules.push_back({refuse, SCMP_SYS(shmget), 1, {{0, SCMP_CMP_NE, IPC_PRIVATE, 0}}});
    rules.push_back({refuse, SCMP_SYS(shmget), 1, {{1, SCMP_CMP_GT, picture_bytes, 0}}});
    rules.push_back({refuse, SCMP_SYS(shmget), 1, {{2, SCMP_CMP_NE, creating, 0}}});
    rules.push_back({refuse, SCMP_SYS(shmctl), 1, {{1, SCMP_CMP_NE, IPC_RMID, 0}}});
    return rules;
}

// Any of these opens a file to write it, or creates one: the flags are
// open's second argument and openat's third.
constexpr int writing[] = {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC};

} // namespace

bool confine(std::size_t picture_bytes, failure &why)
{
    const int devices = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (devices < 0)
        return fail(why, 1, "cannot enter Landlock (opening /dev): %s", std::strerror(errno));
    const beneath drivers{devices, LANDLOCK_ACCESS_FS_WRITE_FILE};
    bool missing;
    const bool confined = enterLandlock({&drivers, 1}, missing, why);
    close(devices);
    if (missing) {
        static const char line[] = "skevla: this kernel has no Landlock; the window's process is "
                                   "boxed by its system call filter alone\n";
        if (write(STDERR_FILENO, line, sizeof line - 1)) {
        }
    }
    return confined && loadRules(SCMP_ACT_ALLOW, ipcRules(picture_bytes), true, "the sandbox", why);
}

bool enterSandbox(int recording, failure &why)
{
    std::vector<rule> rules(std::begin(refused), std::end(refused));
    // A recording that fails is cut back to its last whole record.
    rules.push_back({refuse,
                     SCMP_SYS(ftruncate),
                     1,
                     {{0, SCMP_CMP_NE, static_cast<scmp_datum_t>(recording), 0}}});
    for (const int flag : writing)
        for (const int call : {SCMP_SYS(open), SCMP_SYS(openat)})
            rules.push_back({refuse,
                             call,
                             1,
                             {{call == SCMP_SYS(open) ? 1u : 2u, SCMP_CMP_MASKED_EQ,
                               static_cast<scmp_datum_t>(flag), static_cast<scmp_datum_t>(flag)}}});
    // Signals and calls that act on a process by its id reach this process
    // alone: by its id, or by 0 where 0 means the caller.
    const auto self = static_cast<scmp_datum_t>(getpid());
    for (const int call : {SCMP_SYS(kill), SCMP_SYS(tkill), SCMP_SYS(tgkill),
                           SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)})
        rules.push_back({refuse, call, 1, {{0, SCMP_CMP_NE, self, 0}}});
    for (const int call : {SCMP_SYS(prlimit64), SCMP_SYS(sched_setaffinity),
                           SCMP_SYS(sched_setscheduler), SCMP_SYS(sched_setparam),
                           SCMP_SYS(sched_setattr), SCMP_SYS(migrate_pages), SCMP_SYS(move_pages)})
        rules.push_back({refuse, call, 1, {{0, SCMP_CMP_NE, 0, 0}}});
    for (const int call : {SCMP_SYS(setpriority), SCMP_SYS(ioprio_set)}) {
        const scmp_datum_t process = call == SCMP_SYS(setpriority) ? PRIO_PROCESS : 1;
        rules.push_back({refuse, call, 1, {{0, SCMP_CMP_NE, process, 0}}});
        rules.push_back({refuse, call, 1, {{1, SCMP_CMP_NE, 0, 0}}});
    }
    // The GL driver's threads exist already: the filter goes on each.
    return loadRules(SCMP_ACT_ALLOW, rules, true, "the sandbox", why);
}

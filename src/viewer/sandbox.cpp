#include "sandbox.h"

#include "privileges.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <initializer_list>
#include <sched.h>
#include <seccomp.h>
#include <span>

namespace
{

const int refused_calls[] = {
    SCMP_SYS(execve),
    SCMP_SYS(execveat),
    SCMP_SYS(process_vm_readv),
    SCMP_SYS(process_vm_writev),
    SCMP_SYS(pidfd_getfd),
#ifndef SKEVLA_SANITIZE
    // LeakSanitizer stops the world with ptrace at exit; only the sanitized
    // test build keeps it.
    SCMP_SYS(ptrace),
#endif
    SCMP_SYS(socket),
    SCMP_SYS(socketpair),
    SCMP_SYS(connect),
    SCMP_SYS(bind),
    SCMP_SYS(listen),
    SCMP_SYS(accept),
    SCMP_SYS(accept4),
    SCMP_SYS(creat),
    SCMP_SYS(truncate),
    SCMP_SYS(link),
    SCMP_SYS(linkat),
    SCMP_SYS(symlink),
    SCMP_SYS(symlinkat),
    SCMP_SYS(rename),
    SCMP_SYS(renameat),
    SCMP_SYS(renameat2),
    SCMP_SYS(unlink),
    SCMP_SYS(unlinkat),
    SCMP_SYS(mkdir),
    SCMP_SYS(mkdirat),
    SCMP_SYS(mknod),
    SCMP_SYS(mknodat),
    SCMP_SYS(chmod),
    SCMP_SYS(fchmodat),
    SCMP_SYS(chown),
    SCMP_SYS(lchown),
    SCMP_SYS(fchownat),
    SCMP_SYS(fchmod),
    SCMP_SYS(fchown),
    SCMP_SYS(setxattr),
    SCMP_SYS(lsetxattr),
    SCMP_SYS(fsetxattr),
    SCMP_SYS(removexattr),
    SCMP_SYS(lremovexattr),
    SCMP_SYS(fremovexattr),
    SCMP_SYS(utime),
    SCMP_SYS(utimes),
    SCMP_SYS(futimesat),
    SCMP_SYS(utimensat),
    SCMP_SYS(ftruncate),
    SCMP_SYS(fallocate),
    // Sending goes through writes on what is connected (X, the channel).
    SCMP_SYS(sendto),
    SCMP_SYS(sendmmsg),
    SCMP_SYS(setsockopt),
    SCMP_SYS(fork),
    SCMP_SYS(vfork),
    SCMP_SYS(unshare),
    SCMP_SYS(setns),
    SCMP_SYS(mount),
    SCMP_SYS(keyctl),
    SCMP_SYS(add_key),
    SCMP_SYS(request_key),
    SCMP_SYS(userfaultfd),
    SCMP_SYS(perf_event_open),
    SCMP_SYS(bpf),
    // Its operations would pass the filter unchecked.
    SCMP_SYS(io_uring_setup),
};

// Not yet named by every libseccomp: fchmodat2 of Linux 6.6.
constexpr int fchmodat2_call = 452;

// ioctl requests that push input into a terminal (TIOCSTI) or act on the
// console (TIOCLINUX); the kernel reads the request's low 32 bits.
const unsigned long terminal_requests[] = {0x5412, 0x541C};

// An open whose flags, masked so, have the value is refused: any of these
// opens for writing or creates. Where Landlock confines creation to one
// directory, a new file may be created and written there (O_WRONLY, O_CREAT
// and O_EXCL together), never an existing one truncated or written.
struct refused_open {
    int mask, value;
};
const refused_open writing[] = {
    {O_WRONLY, O_WRONLY}, {O_RDWR, O_RDWR}, {O_CREAT, O_CREAT}, {O_TRUNC, O_TRUNC}};
constexpr int creating = O_WRONLY | O_CREAT | O_EXCL;
const refused_open writing_but_new[] = {{O_RDWR, O_RDWR},
                                        {O_TRUNC, O_TRUNC},
                                        {creating, O_WRONLY},
                                        {creating, O_CREAT},
                                        {creating, O_WRONLY | O_CREAT},
                                        {creating, O_WRONLY | O_EXCL},
                                        {creating, O_CREAT | O_EXCL}};

} // namespace

const char *enterSandbox(bool create_beneath)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter)
        return "starting the filter";
    const std::uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
    // libseccomp returns the negated errno; 0 once every step went well.
    // The GL driver's threads exist already: the filter goes on each.
    int result = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
    for (const int call : refused_calls)
        if (result == 0)
            result = seccomp_rule_add(filter, refuse, call, 0);
    for (const refused_open &flags : create_beneath ? std::span<const refused_open>(writing_but_new)
                                                    : std::span<const refused_open>(writing)) {
        const auto mask = static_cast<scmp_datum_t>(flags.mask);
        const auto value = static_cast<scmp_datum_t>(flags.value);
        // The flags are open's second argument and openat's third.
        const scmp_arg_cmp open_flags{1, SCMP_CMP_MASKED_EQ, mask, value};
        const scmp_arg_cmp openat_flags{2, SCMP_CMP_MASKED_EQ, mask, value};
        if (result == 0)
            result = seccomp_rule_add(filter, refuse, SCMP_SYS(open), 1, open_flags);
        if (result == 0)
            result = seccomp_rule_add(filter, refuse, SCMP_SYS(openat), 1, openat_flags);
    }
    if (result == 0)
        result = seccomp_rule_add(filter, refuse, fchmodat2_call, 0);
    for (const unsigned long request : terminal_requests)
        if (result == 0)
            result = seccomp_rule_add(filter, refuse, SCMP_SYS(ioctl), 1,
                                      scmp_arg_cmp{1, SCMP_CMP_MASKED_EQ, 0xFFFFFFFF, request});
#ifndef SKEVLA_SANITIZE
    // Threads only: no new process. LeakSanitizer clones its tracer at exit.
    if (result == 0)
        result = seccomp_rule_add(filter, refuse, SCMP_SYS(clone), 1,
                                  scmp_arg_cmp{0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0});
#endif
    // openat2's and clone3's arguments lie in memory the filter cannot read;
    // ENOSYS makes callers fall back to openat and clone.
    for (const int call : {SCMP_SYS(openat2), SCMP_SYS(clone3)})
        if (result == 0)
            result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), call, 0);
    if (result == 0)
        result = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    return loadFilter(filter, result);
}

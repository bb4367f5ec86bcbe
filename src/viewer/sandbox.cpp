#include "sandbox.h"

#include "privileges.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <sched.h>
#include <seccomp.h>
#include <span>
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
    {refuse, SCMP_SYS(ftruncate)},
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

// An open whose flags, masked so, have the value: the flags are open's
// second argument and openat's third.
constexpr rule refusedOpen(int call, int mask, int value)
{
    return {refuse,
            call,
            1,
            {{call == SCMP_SYS(open) ? 1u : 2u, SCMP_CMP_MASKED_EQ, static_cast<scmp_datum_t>(mask),
              static_cast<scmp_datum_t>(value)}}};
}

// Any of these opens for writing or creates. Where Landlock confines
// creation to one directory, a new file may be created and written there
// (O_WRONLY, O_CREAT and O_EXCL together), never an existing one truncated
// or written.
struct masked {
    int mask, value;
};
constexpr masked writing[] = {
    {O_WRONLY, O_WRONLY}, {O_RDWR, O_RDWR}, {O_CREAT, O_CREAT}, {O_TRUNC, O_TRUNC}};
constexpr int creating = O_WRONLY | O_CREAT | O_EXCL;
constexpr masked writing_but_new[] = {{O_RDWR, O_RDWR},
                                      {O_TRUNC, O_TRUNC},
                                      {creating, O_WRONLY},
                                      {creating, O_CREAT},
                                      {creating, O_WRONLY | O_CREAT},
                                      {creating, O_WRONLY | O_EXCL},
                                      {creating, O_CREAT | O_EXCL}};

} // namespace

bool enterSandbox(bool create_beneath, failure &why)
{
    std::vector<rule> rules(std::begin(refused), std::end(refused));
    for (const masked &flags : create_beneath ? std::span<const masked>(writing_but_new)
                                              : std::span<const masked>(writing))
        for (const int call : {SCMP_SYS(open), SCMP_SYS(openat)})
            rules.push_back(refusedOpen(call, flags.mask, flags.value));
    // The GL driver's threads exist already: the filter goes on each.
    return loadRules(SCMP_ACT_ALLOW, rules, true, "the sandbox", why);
}

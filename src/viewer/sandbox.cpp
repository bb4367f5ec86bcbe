#include "sandbox.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <seccomp.h>

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
    // Its operations would pass the filter unchecked.
    SCMP_SYS(io_uring_setup),
};

// Any of these in open's or openat's flags opens for writing or creates.
const int writing_flags[] = {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC};

} // namespace

const char *enterSandbox()
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
    for (const int flag : writing_flags) {
        const auto set = static_cast<scmp_datum_t>(flag);
        // The flags are open's second argument and openat's third.
        const scmp_arg_cmp open_flags{1, SCMP_CMP_MASKED_EQ, set, set};
        const scmp_arg_cmp openat_flags{2, SCMP_CMP_MASKED_EQ, set, set};
        if (result == 0)
            result = seccomp_rule_add(filter, refuse, SCMP_SYS(open), 1, open_flags);
        if (result == 0)
            result = seccomp_rule_add(filter, refuse, SCMP_SYS(openat), 1, openat_flags);
    }
    // openat2's flags lie in memory the filter cannot read; ENOSYS makes
    // callers fall back to openat.
    if (result == 0)
        result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2), 0);
    const char *failed = result != 0 ? "building the filter" : nullptr;
    if (!failed && (result = seccomp_load(filter)) != 0)
        failed = "loading the filter into the kernel";
    seccomp_release(filter);
    errno = -result;
    return failed;
}

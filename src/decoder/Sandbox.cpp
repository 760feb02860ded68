#include "decoder/Sandbox.h"

#include <seccomp.h>

#include <cerrno>
#include <sys/prctl.h>

namespace Sandbox {

bool seal() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    // Everything else stays allowed: the decoders, the allocator and the sanitizers
    // need the ordinary calls; what reaches out of the process is refused.
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter)
        return false;
    // A filter would otherwise switch on the kernel's speculative store bypass
    // mitigation for the process, which slows decoding by a third; what the worker
    // could read by speculation is its own memory (the file it was handed).
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_SSB, 1);
    const int refused[] = {
        SCMP_SYS(open),
        SCMP_SYS(openat),
        SCMP_SYS(openat2),
        SCMP_SYS(creat),
        SCMP_SYS(open_by_handle_at),
        SCMP_SYS(name_to_handle_at),
        SCMP_SYS(socket),
        SCMP_SYS(socketpair),
        SCMP_SYS(connect),
        SCMP_SYS(bind),
        SCMP_SYS(listen),
        SCMP_SYS(accept),
        SCMP_SYS(accept4),
        SCMP_SYS(execve),
        SCMP_SYS(execveat),
        SCMP_SYS(ptrace),
        SCMP_SYS(process_vm_writev),
        SCMP_SYS(unlink),
        SCMP_SYS(unlinkat),
        SCMP_SYS(rename),
        SCMP_SYS(renameat),
        SCMP_SYS(renameat2),
        SCMP_SYS(link),
        SCMP_SYS(linkat),
        SCMP_SYS(symlink),
        SCMP_SYS(symlinkat),
        SCMP_SYS(mkdir),
        SCMP_SYS(mkdirat),
        SCMP_SYS(rmdir),
        SCMP_SYS(truncate),
        SCMP_SYS(chmod),
        SCMP_SYS(fchmodat),
        SCMP_SYS(chown),
        SCMP_SYS(fchownat),
        SCMP_SYS(lchown),
        SCMP_SYS(mknod),
        SCMP_SYS(mknodat),
        SCMP_SYS(mount),
        SCMP_SYS(umount2),
        SCMP_SYS(chroot),
        SCMP_SYS(pivot_root),
        SCMP_SYS(unshare),
        SCMP_SYS(setns),
        SCMP_SYS(kill),
        SCMP_SYS(tkill),
    };
    bool ok = true;
    for (const int call : refused) {
        if (call < 0)
            continue; // not a call on this architecture
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0) == 0;
    }
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

} // namespace Sandbox

// deny_unshare PROGRAM ARGS...: runs PROGRAM with unshare(2) and namespace
// flags of clone(2) failing with EPERM, like an unprivileged container would.
#include <sched.h>
#include <seccomp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (!ctx)
        return 3;
    seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(unshare), 0);
    // clone with any namespace flag: one rule per flag (the masked compare
    // matches when the flag is set).
    for (unsigned long flag : {CLONE_NEWNS, CLONE_NEWUTS, CLONE_NEWNET, CLONE_NEWPID, CLONE_NEWUSER})
        seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                         SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag));
    // clone3 passes its flags in memory, out of a filter's reach: make the C
    // library fall back to clone.
    seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    if (seccomp_load(ctx) != 0)
        return 4;
    seccomp_release(ctx);
    execv(argv[1], argv + 1);
    std::perror("execv");
    return 127;
}

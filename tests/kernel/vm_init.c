// SPDX-License-Identifier: GPL-2.0
/*
 * vm_init: the first and only process of the pcmlink test kernels (User-Mode
 * Linux, and the ARM926 machine of scripts/board-vm --module-test). It loads
 * the simulated SSC and the driver, creates /dev/ssc0, runs the test program,
 * unloads the driver, prints the kernel log and the program's exit status,
 * and powers the machine off.
 *
 * Files in the initial RAM disk: /vm/ssc_sim.ko, /vm/pcmlink.ko, /vm/sim-args
 * (the simulator's module parameters), /vm/program and /vm/argv (its
 * arguments, each ending in a NUL byte).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/klog.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#define MAX_ARGS 64

static void power_off(void)
{
	fflush(stdout);
	sync();
#ifdef __arm__
	/* versatilepb cannot power off; qemu ends on the restart (-no-reboot). */
	reboot(RB_AUTOBOOT);
#else
	reboot(RB_POWER_OFF);
#endif
	for (;;)
		pause();
}

static void fail(const char *what)
{
	printf("vm_init: %s: %s\n", what, strerror(errno));
	printf("pcmlink-vm: status 125\n");
	power_off();
}

/* The whole file, NUL-terminated; *size excludes the terminator. */
static char *slurp(const char *path, size_t *size)
{
	static char buf[4096];
	ssize_t n;
	int fd = open(path, O_RDONLY | O_CLOEXEC);

	if (fd < 0)
		fail(path);
	n = read(fd, buf, sizeof(buf) - 1);
	if (n < 0)
		fail(path);
	close(fd);
	buf[n] = 0;
	*size = (size_t)n;
	return buf;
}

static int load(const char *path, const char *params)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	int r;

	if (fd < 0)
		return -1;
	r = (int)syscall(SYS_finit_module, fd, params, 0);
	close(fd);
	return r;
}

static void print_kernel_log(void)
{
	int size = klogctl(10 /* SYSLOG_ACTION_SIZE_BUFFER */, NULL, 0);
	char *buf;
	int n;

	if (size <= 0)
		return;
	buf = malloc((size_t)size);
	if (!buf)
		return;
	n = klogctl(3 /* SYSLOG_ACTION_READ_ALL */, buf, size);
	printf("== kernel log\n");
	if (n > 0)
		fwrite(buf, 1, (size_t)n, stdout);
	printf("== end of kernel log\n");
	free(buf);
}

int main(void)
{
	char *argv[MAX_ARGS + 1];
	char sim_args[4096];
	size_t size, pos;
	int argc = 0;
	int status;
	pid_t pid;
	char *p;

	setvbuf(stdout, NULL, _IOLBF, 0);
	/* Tells the harness that the kernel runs user processes at all. */
	printf("vm_init: started\n");
	mkdir("/proc", 0555);
	mkdir("/sys", 0555);
	mkdir("/dev", 0755);
	mkdir("/tmp", 01777);
	if (mount("proc", "/proc", "proc", 0, NULL) ||
	    mount("sysfs", "/sys", "sysfs", 0, NULL) ||
	    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL) ||
	    mount("tmpfs", "/tmp", "tmpfs", 0, NULL))
		fail("mount");

	p = slurp("/vm/sim-args", &size);
	snprintf(sim_args, sizeof(sim_args), "%s", p);
	sim_args[strcspn(sim_args, "\n")] = 0;
	if (load("/vm/ssc_sim.ko", sim_args))
		fail("loading ssc_sim.ko");
	if (load("/vm/pcmlink.ko", ""))
		fail("loading pcmlink.ko");
	unlink("/dev/ssc0");
	if (mknod("/dev/ssc0", S_IFCHR | 0666, makedev(131, 0)))
		fail("mknod /dev/ssc0");

	argv[argc++] = "/vm/program";
	p = slurp("/vm/argv", &size);
	for (pos = 0; pos < size && argc < MAX_ARGS; argc++) {
		argv[argc] = p + pos;
		pos += strlen(p + pos) + 1;
	}
	argv[argc] = NULL;

	fflush(stdout);
	pid = fork();
	if (pid < 0)
		fail("fork");
	if (pid == 0) {
		static char *const envp[] = {
			"PATH=/vm", "HOME=/tmp", "TMPDIR=/tmp", NULL
		};

		chdir("/tmp");
		execve(argv[0], argv, envp);
		perror("vm_init: exec /vm/program");
		_exit(126);
	}
	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			fail("waitpid");

	if (syscall(SYS_delete_module, "pcmlink", O_NONBLOCK))
		printf("vm_init: unloading pcmlink: %s\n", strerror(errno));
	print_kernel_log();
	if (WIFEXITED(status))
		printf("pcmlink-vm: status %d\n", WEXITSTATUS(status));
	else
		printf("pcmlink-vm: status %d (signal %d)\n",
		       128 + WTERMSIG(status), WTERMSIG(status));
	power_off();
	return 0;
}

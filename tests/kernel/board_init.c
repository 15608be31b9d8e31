// SPDX-License-Identifier: GPL-2.0
/*
 * board_init: the first process of the ARM926 test machine of
 * scripts/board-vm, from its initial RAM disk. It plays the part of the
 * board's hardware for the image's own root file system and init:
 *
 *  - loads the simulated devices (/vm/ssc_sim.ko, /vm/pio_sim.ko,
 *    /vm/i2c_sim.ko) with the parameters the kernel command line gives as
 *    "ssc_sim.NAME=VALUE" and so on, as modprobe would;
 *  - mounts the image's root file system read-only from /dev/mtdblock4 and
 *    lays /vm/pcmlink.ko (the unchanged driver built for this kernel) over
 *    every pcmlink.ko the image holds, since the image's own is built for
 *    the board's kernel;
 *  - moves that root to / and starts a test agent on /dev/ttyAMA1, then
 *    becomes the image's /sbin/init.
 *
 * The agent reads one request per line, "ID sh COMMAND" or "ID read PATH",
 * runs the command with the image's /bin/sh (or reads the file) and answers
 * with lines "@ID d HEX" carrying the output, then "@ID x STATUS". It says
 * "@0 ready" when it starts.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define AGENT_TTY "/dev/ttyAMA1"
#define ROOT_DEV "/dev/mtdblock4"
#define NEW_ROOT "/newroot"
#define COMMAND_SECONDS 120

static void say(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	printf("board_init: ");
	vprintf(fmt, ap);
	printf("\n");
	va_end(ap);
	fflush(stdout);
}

static void fail(const char *what)
{
	say("%s: %s", what, strerror(errno));
	sync();
	for (;;)
		pause();
}

/* The "NAME.KEY=VALUE" words of the kernel command line for module NAME. */
static void module_args(const char *name, char *out, size_t size)
{
	static char cmdline[4096];
	size_t len = strlen(name), used = 0;
	char *word, *save = NULL;
	ssize_t n;
	int fd;

	out[0] = 0;
	fd = open("/proc/cmdline", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	n = read(fd, cmdline, sizeof(cmdline) - 1);
	close(fd);
	if (n <= 0)
		return;
	cmdline[n] = 0;
	for (word = strtok_r(cmdline, "\t\n ", &save); word;
	     word = strtok_r(NULL, "\t\n ", &save)) {
		if (strncmp(word, name, len) || word[len] != '.')
			continue;
		used += (size_t)snprintf(out + used, size - used, "%s%s",
					 used ? " " : "", word + len + 1);
		if (used >= size)
			break;
	}
}

static void load(const char *name)
{
	char path[64], args[1024];
	int fd;

	snprintf(path, sizeof(path), "/vm/%s.ko", name);
	module_args(name, args, sizeof(args));
	fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0 || syscall(SYS_finit_module, fd, args, 0))
		fail(path);
	close(fd);
	unlink(path);
}

/* Lays the driver over each pcmlink.ko below dir. */
static int cover_driver(const char *dir)
{
	char path[512];
	struct dirent *e;
	struct stat st;
	int found = 0;
	DIR *d = opendir(dir);

	if (!d)
		return 0;
	while ((e = readdir(d))) {
		if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
			continue;
		snprintf(path, sizeof(path), "%s/%s", dir, e->d_name);
		if (lstat(path, &st))
			continue;
		if (S_ISDIR(st.st_mode)) {
			found += cover_driver(path);
		} else if (S_ISREG(st.st_mode) &&
			   !strcmp(e->d_name, "pcmlink.ko")) {
			if (mount("/vm/pcmlink.ko", path, NULL, MS_BIND, NULL))
				fail(path);
			say("%s is the driver built for this kernel",
			    path + strlen(NEW_ROOT));
			found++;
		}
	}
	closedir(d);
	return found;
}

static void put(int fd, const char *text)
{
	size_t len = strlen(text);

	while (len) {
		ssize_t n = write(fd, text, len);

		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		text += n;
		len -= (size_t)n;
	}
}

static void answer_data(int tty, const char *id, const unsigned char *data,
			size_t size)
{
	static const char digits[] = "0123456789abcdef";
	char line[64 + 2 * 256];
	size_t i, n;
	char *p;

	while (size) {
		n = size < 256 ? size : 256;
		snprintf(line, sizeof(line), "@%.20s d ", id);
		p = line + strlen(line);

		for (i = 0; i < n; i++) {
			*p++ = digits[data[i] >> 4];
			*p++ = digits[data[i] & 15];
		}
		*p++ = '\n';
		*p = 0;
		put(tty, line);
		data += n;
		size -= n;
	}
}

static void answer_status(int tty, const char *id, int status)
{
	char line[64];

	snprintf(line, sizeof(line), "@%.20s x %d\n", id, status);
	put(tty, line);
}

static int run_shell(int tty, const char *id, const char *command)
{
	unsigned char buf[1024];
	int out[2], status;
	time_t deadline = time(NULL) + COMMAND_SECONDS;
	pid_t pid;

	if (pipe2(out, O_CLOEXEC))
		return 125;
	pid = fork();
	if (pid < 0)
		return 125;
	if (pid == 0) {
		static char *const envp[] = {
			"PATH=/sbin:/bin:/usr/sbin:/usr/bin", "HOME=/", NULL
		};
		int null = open("/dev/null", O_RDONLY);

		setsid();
		dup2(null >= 0 ? null : 0, 0);
		dup2(out[1], 1);
		dup2(out[1], 2);
		execle("/bin/sh", "sh", "-c", command, (char *)NULL, envp);
		_exit(127);
	}
	close(out[1]);
	for (;;) {
		struct pollfd p = { .fd = out[0], .events = POLLIN };
		int left = (int)(deadline - time(NULL));
		ssize_t n;

		if (left <= 0 || poll(&p, 1, left * 1000) == 0) {
			kill(-pid, SIGKILL);
			break;
		}
		n = read(out[0], buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		answer_data(tty, id, buf, (size_t)n);
	}
	close(out[0]);
	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			return 125;
	return WIFEXITED(status) ? WEXITSTATUS(status)
				 : 128 + WTERMSIG(status);
}

static int read_file(int tty, const char *id, const char *path)
{
	unsigned char buf[4096];
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	ssize_t n;

	if (fd < 0)
		return 1;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		answer_data(tty, id, buf, (size_t)n);
	close(fd);
	return n < 0 ? 1 : 0;
}

static void agent(int tty)
{
	static char line[8192];
	size_t used = 0;

	signal(SIGPIPE, SIG_IGN);
	put(tty, "@0 ready\n");
	for (;;) {
		ssize_t n = read(tty, line + used, sizeof(line) - 1 - used);
		char *end;

		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			_exit(0);
		used += (size_t)n;
		while ((end = memchr(line, '\n', used))) {
			char *id = line, *verb, *arg;

			*end = 0;
			if (end > line && end[-1] == '\r')
				end[-1] = 0;
			verb = strchr(id, ' ');
			if (verb) {
				*verb++ = 0;
				arg = strchr(verb, ' ');
				if (arg)
					*arg++ = 0;
				else
					arg = "";
				if (!strcmp(verb, "sh"))
					answer_status(tty, id, run_shell(tty, id, arg));
				else if (!strcmp(verb, "read"))
					answer_status(tty, id, read_file(tty, id, arg));
				else
					answer_status(tty, id, 126);
			}
			used -= (size_t)(end + 1 - line);
			memmove(line, end + 1, used);
		}
		if (used == sizeof(line) - 1)
			used = 0;
	}
}

static int open_agent_tty(void)
{
	struct termios t;
	int fd = open(AGENT_TTY, O_RDWR | O_NOCTTY | O_CLOEXEC);

	if (fd < 0)
		fail(AGENT_TTY);
	if (tcgetattr(fd, &t) == 0) {
		cfmakeraw(&t);
		cfsetspeed(&t, B115200);
		tcsetattr(fd, TCSANOW, &t);
	}
	return fd;
}

int main(void)
{
	static char *const init_argv[] = { "/sbin/init", NULL };
	int tries, tty;
	pid_t pid;

	setvbuf(stdout, NULL, _IOLBF, 0);
	mkdir("/proc", 0555);
	mkdir("/sys", 0555);
	mkdir("/dev", 0755);
	mkdir(NEW_ROOT, 0755);
	if (mount("proc", "/proc", "proc", 0, NULL) ||
	    mount("sysfs", "/sys", "sysfs", 0, NULL) ||
	    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL))
		fail("mount");

	load("ssc_sim");
	load("pio_sim");
	load("i2c_sim");
	tty = open_agent_tty();

	/* The flash's partitions are there before init runs; wait a little anyway. */
	for (tries = 0; access(ROOT_DEV, F_OK) && tries < 100; tries++)
		usleep(50000);
	if (mount(ROOT_DEV, NEW_ROOT, "squashfs", MS_RDONLY, NULL))
		fail("mounting the root file system from " ROOT_DEV);
	if (!cover_driver(NEW_ROOT "/lib/modules"))
		say("no pcmlink.ko below /lib/modules of the image");

	if (umount("/proc") || umount("/sys") || umount2("/dev", MNT_DETACH))
		fail("umount");
	if (chdir(NEW_ROOT) || mount(".", "/", NULL, MS_MOVE, NULL) ||
	    chroot(".") || chdir("/"))
		fail("moving the root file system");

	pid = fork();
	if (pid < 0)
		fail("fork");
	if (pid == 0) {
		setsid();
		agent(tty);
	}
	close(tty);
	say("starting the image's /sbin/init");
	execv(init_argv[0], init_argv);
	fail("exec /sbin/init");
	return 1;
}

/*
 * Store rate of cache mode on a real stick, in the real-stick machine with
 * the server away. A serial master on a pty (its slave linked as LINK) sends
 * write requests to korvane and times how fast they become records in CACHE,
 * watched with inotify: a record counts once its ".bin" name appears
 * (created under it, or renamed to it from a temporary name).
 *
 *   stick_store LINK CACHE single N   each write is sent once the one before
 *                                     is a record: one waits at a time
 *   stick_store LINK CACHE full N     writes back to back; one refused with
 *                                     exception 4 (ring full) is sent again
 *                                     20 ms later, so the ring stays full
 *
 * It starts once the daemon holds the line and one warm-up write is a
 * record, then prints
 *   <mode> records N seconds S rate R first R1 refused E
 * where R1 is the rate over the first tenth of the records, and on stderr
 * the seconds at each tenth, which show how the rate follows the number of
 * records in the directory.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "../tests/stick/guest_util.h"

enum { refused_pause_ms = 20, answer_deadline_ms = 5000 };

static void die(const char *what)
{
	fprintf(stderr, "stick_store: %s: %s\n", what, strerror(errno));
	exit(1);
}

static double now_s(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* A pty whose slave, linked as LINK, stays raw and open on our side. */
static int open_line(const char *link, char *slave, size_t room)
{
	int fd = posix_openpt(O_RDWR | O_NOCTTY);
	if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, slave, room) != 0)
		die("pty");
	int slave_fd = open(slave, O_RDWR | O_NOCTTY);
	struct termios raw;
	if (slave_fd < 0 || tcgetattr(slave_fd, &raw) != 0)
		die(slave);
	cfmakeraw(&raw);
	if (tcsetattr(slave_fd, TCSANOW, &raw) != 0)
		die("tcsetattr");
	unlink(link);
	if (symlink(slave, link) != 0)
		die("symlink");
	return fd;
}

/* Whether another process holds the slave open. */
static int line_taken(const char *slave)
{
	DIR *proc = opendir("/proc");
	struct dirent *p;
	int taken = 0;
	while (!taken && proc != NULL && (p = readdir(proc)) != NULL) {
		if (p->d_name[0] < '1' || p->d_name[0] > '9' || atoi(p->d_name) == getpid())
			continue;
		char path[300], target[300];
		snprintf(path, sizeof path, "/proc/%s/fd", p->d_name);
		DIR *fds = opendir(path);
		struct dirent *f;
		while (!taken && fds != NULL && (f = readdir(fds)) != NULL) {
			ssize_t n = readlinkat(dirfd(fds), f->d_name, target, sizeof target - 1);
			taken = n > 0 && (target[n] = '\0', strcmp(target, slave) == 0);
		}
		if (fds != NULL)
			closedir(fds);
	}
	if (proc != NULL)
		closedir(proc);
	return taken;
}

static int line = -1, watch = -1;
static unsigned records;

/* Counts the record names that appeared; waits up to ms for one. */
static void take_events(int ms)
{
	struct pollfd p = { watch, POLLIN, 0 };
	if (poll(&p, 1, ms) <= 0)
		return;
	char buffer[8192] __attribute__((aligned(__alignof__(struct inotify_event))));
	ssize_t got = read(watch, buffer, sizeof buffer);
	for (char *at = buffer; got > 0 && at < buffer + got;) {
		const struct inotify_event *event = (const struct inotify_event *)at;
		const size_t len = event->len ? strlen(event->name) : 0;
		if (len > 4 && strcasecmp(event->name + len - 4, ".bin") == 0)
			records++;
		at += sizeof *event + event->len;
	}
}

/* Sends a write-single-register request; 1 when acknowledged, 0 when
 * refused with exception 4, -1 on anything else. */
static int send_write(unsigned value)
{
	uint8_t frame[8] = { 1, 6, (uint8_t)(value >> 8), (uint8_t)value, 0, 1 };
	const uint16_t crc = crc16(frame, 6);
	frame[6] = (uint8_t)crc;
	frame[7] = (uint8_t)(crc >> 8);
	if (write(line, frame, sizeof frame) != (ssize_t)sizeof frame)
		die("write");
	uint8_t answer[8];
	size_t got = 0;
	const double deadline = now_s() + answer_deadline_ms / 1000.0;
	while (got < 2 || got < ((answer[1] & 0x80) ? 5u : 8u)) {
		struct pollfd p = { line, POLLIN, 0 };
		if (now_s() > deadline || poll(&p, 1, 100) < 0)
			return -1;
		ssize_t n = read(line, answer + got, sizeof answer - got);
		if (n > 0)
			got += (size_t)n;
	}
	if (answer[1] == 0x86 && answer[2] == 4)
		return 0;
	return got == 8 && memcmp(answer, frame, 8) == 0 ? 1 : -1;
}

int main(int argc, char **argv)
{
	if (argc != 5 || (strcmp(argv[3], "single") != 0 && strcmp(argv[3], "full") != 0)) {
		fprintf(stderr, "usage: stick_store LINK CACHE single|full N\n");
		return 2;
	}
	const int single = strcmp(argv[3], "single") == 0;
	const unsigned count = (unsigned)strtoul(argv[4], NULL, 10);
	char slave[256];
	line = open_line(argv[1], slave, sizeof slave);
	fcntl(line, F_SETFL, fcntl(line, F_GETFL) | O_NONBLOCK);
	struct stat cache;
	while (!line_taken(slave) || stat(argv[2], &cache) != 0)
		poll(NULL, 0, 50);
	watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
	if (watch < 0 || inotify_add_watch(watch, argv[2], IN_CREATE | IN_MOVED_TO) < 0)
		die("inotify");
	if (send_write(0) != 1)
		die("warm-up write not acknowledged");
	while (records < 1)
		take_events(1000);

	unsigned sent = 0, refused = 0, tenth = 1;
	const double start = now_s();
	double first = 0;
	while (records < count + 1) {
		for (; tenth <= 10 && records - 1 >= count * tenth / 10; tenth++) {
			fprintf(stderr, " %u:%.2fs", records - 1, now_s() - start);
			if (tenth == 1)
				first = (records - 1) / (now_s() - start);
		}
		if (sent < count && (!single || records == sent + 1)) {
			const int acked = send_write(sent + 1);
			if (acked < 0)
				die("bad answer");
			sent += (unsigned)acked;
			refused += (unsigned)!acked;
			take_events(acked ? 0 : refused_pause_ms);
		} else {
			take_events(1000);
		}
	}
	const double seconds = now_s() - start;
	fprintf(stderr, " %u:%.2fs\n", records - 1, seconds);
	printf("%s records %u seconds %.2f rate %.1f first %.1f refused %u\n", argv[3], count, seconds,
	       count / seconds, first, refused);
	return 0;
}

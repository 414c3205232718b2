/*
 * Serial master of bench/powercut.sh, in the real-stick machine. It owns a
 * pty pair whose slave side it links as LINK (the daemon's serial line),
 * waits for GO_FILE to appear, then writes without pause, each request once
 * the answer to the one before has come (or its time is up):
 *
 *   powercut_master LINK REPORT FIRST GO_FILE
 *
 * Request n (n = FIRST, FIRST+1, ...) is a write of four registers to unit 1
 * from 0x0100: n as 32 bits, then n ^ 0xa5a5a5a5, both high word first.
 * Every line goes to REPORT (a serial port whose other end is a file on the
 * host, so that it outlives a power cut) with one write, as it happens:
 *   S n          request n is about to be sent
 *   A n          the normal answer came: the write was acknowledged
 *   E<code> n    an exception with that code came
 *   N n          nothing came within 4 s
 *   B n HEX      anything else (wrong bytes, bad CRC)
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "../tests/stick/guest_util.h"

enum { request_len = 15, answer_len = 8, exception_len = 5, max_answer = 64,
       answer_deadline_ms = 4000 };

static int line_fd = -1;
static int report_fd = -1;

static void die(const char *what)
{
	fprintf(stderr, "powercut_master: %s: %s\n", what, strerror(errno));
	exit(1);
}

static void report(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void report(const char *format, ...)
{
	char line[256];
	va_list args;
	va_start(args, format);
	int len = vsnprintf(line, sizeof line, format, args);
	va_end(args);
	if (len > 0 && write(report_fd, line, (size_t)len) != len)
		die("write report");
}

static void put32(uint8_t *at, uint32_t value)
{
	at[0] = (uint8_t)(value >> 24);
	at[1] = (uint8_t)(value >> 16);
	at[2] = (uint8_t)(value >> 8);
	at[3] = (uint8_t)value;
}

/* Reads until a whole answer (normal or exception) is in, or time is up. */
static size_t read_answer(uint8_t *answer)
{
	size_t got = 0;
	const long deadline = now_ms() + answer_deadline_ms;
	for (;;) {
		if (got >= 2) {
			size_t want = (answer[1] & 0x80) ? exception_len : answer_len;
			if (got >= want)
				return got;
		}
		long wait = deadline - now_ms();
		if (wait <= 0 || got >= max_answer)
			return got;
		struct pollfd p = { line_fd, POLLIN, 0 };
		int ready = poll(&p, 1, (int)wait);
		if (ready < 0 && errno != EINTR)
			return got;
		if (ready <= 0)
			continue;
		ssize_t n = read(line_fd, answer + got, max_answer - got);
		if (n > 0)
			got += (size_t)n;
	}
}

static void write_one(uint32_t n)
{
	uint8_t request[request_len + 2] = { 1, 16, 0x01, 0x00, 0x00, 0x04, 8 };
	put32(request + 7, n);
	put32(request + 11, n ^ 0xa5a5a5a5u);
	uint16_t crc = crc16(request, request_len);
	request[request_len] = (uint8_t)crc;
	request[request_len + 1] = (uint8_t)(crc >> 8);

	uint8_t junk[max_answer];
	while (read(line_fd, junk, sizeof junk) > 0) {
	}
	report("S %u\n", n);
	if (write(line_fd, request, sizeof request) != (ssize_t)sizeof request)
		die("write line");

	uint8_t answer[max_answer];
	size_t got = read_answer(answer);
	if (got == 0) {
		report("N %u\n", n);
		return;
	}
	if (got >= 4 && crc16(answer, got - 2) == (uint16_t)(answer[got - 2] | answer[got - 1] << 8)) {
		if (got == exception_len && answer[0] == 1 && answer[1] == (16 | 0x80)) {
			report("E%u %u\n", answer[2], n);
			return;
		}
		if (got == answer_len && memcmp(answer, request, 6) == 0) {
			report("A %u\n", n);
			return;
		}
	}
	char text[2 * max_answer + 1];
	for (size_t i = 0; i < got; i++)
		sprintf(text + 2 * i, "%02x", answer[i]);
	text[2 * got] = '\0';
	report("B %u %s\n", n, text);
}

static void make_raw(int fd)
{
	struct termios raw;
	if (tcgetattr(fd, &raw) != 0)
		die("tcgetattr");
	cfmakeraw(&raw);
	if (tcsetattr(fd, TCSANOW, &raw) != 0)
		die("tcsetattr");
}

int main(int argc, char **argv)
{
	if (argc != 5) {
		fprintf(stderr, "usage: powercut_master LINK REPORT FIRST GO_FILE\n");
		return 2;
	}
	report_fd = open(argv[2], O_WRONLY | O_NOCTTY);
	if (report_fd < 0)
		die(argv[2]);
	if (isatty(report_fd))
		make_raw(report_fd);
	uint32_t n = (uint32_t)strtoul(argv[3], NULL, 10);

	line_fd = posix_openpt(O_RDWR | O_NOCTTY);
	if (line_fd < 0 || grantpt(line_fd) != 0 || unlockpt(line_fd) != 0)
		die("posix_openpt");
	const char *slave_name = ptsname(line_fd);
	if (slave_name == NULL)
		die("ptsname");
	/* A slave descriptor of our own keeps the line up and raw. */
	int slave_fd = open(slave_name, O_RDWR | O_NOCTTY);
	if (slave_fd < 0)
		die("open slave");
	make_raw(slave_fd);
	unlink(argv[1]);
	if (symlink(slave_name, argv[1]) != 0)
		die("symlink");
	fcntl(line_fd, F_SETFL, fcntl(line_fd, F_GETFL) | O_NONBLOCK);

	while (access(argv[4], F_OK) != 0)
		poll(NULL, 0, 10);
	for (;; n++)
		write_one(n);
}

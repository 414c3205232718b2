/*
 * Serial master for the stick tests. It owns a pty pair, links its slave side
 * under the name the daemon is configured to use and stays up for the whole
 * boot, so that the daemon never sees its line hang up between requests.
 *
 *   rtu_master LINK COMMAND_PIPE OUTPUT_FILE
 *   rtu_master --socket LINE_SOCKET CONTROL_SOCKET
 *
 * The second form runs on the host of a virtual machine whose serial line is
 * an emulated USB adapter: LINE_SOCKET is the host end of that line, and
 * commands come in and result lines go out over CONTROL_SOCKET, a port into
 * the machine. Both are unix sockets the emulator listens on.
 *
 * Commands, one a line, read from COMMAND_PIPE:
 *   w HEX [HEX ...]     send each checksum-less frame with its CRC appended
 *   seq FIRST COUNT     send COUNT write-single-register requests to unit 1,
 *                       register and value FIRST, FIRST+1, ...
 * For every frame one line goes to OUTPUT_FILE:
 *   OK HEX        the normal write acknowledgement came back
 *   EXC<n> HEX    an exception with code n came back for the same unit and function
 *   NONE HEX      nothing came back in time
 *   BAD:ANS HEX   anything else (wrong bytes, bad CRC)
 * and every command ends with "DONE <command number>".
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "guest_util.h"

enum { max_frame = 300, answer_deadline_ms = 5000, quiet_ms = 200,
       connect_deadline_ms = 30000 };

static int master_fd = -1;
static FILE *out;

static void hex(char *text, const uint8_t *data, size_t len)
{
	for (size_t i = 0; i < len; i++)
		sprintf(text + 2 * i, "%02x", data[i]);
	text[2 * len] = '\0';
}

static int unhex(const char *text, uint8_t *data, size_t room)
{
	size_t len = strlen(text);
	if (len % 2 != 0 || len / 2 > room)
		return -1;
	for (size_t i = 0; i < len / 2; i++) {
		unsigned byte;
		if (sscanf(text + 2 * i, "%2x", &byte) != 1)
			return -1;
		data[i] = (uint8_t)byte;
	}
	return (int)(len / 2);
}

/* How long a complete answer is, CRC included, once its first two
 * bytes are known; 0 when it cannot be told. */
static size_t expected_answer_len(const uint8_t *answer)
{
	if (answer[1] & 0x80)
		return 5;
	switch (answer[1]) {
	case 5: case 6: case 15: case 16:
		return 8;
	case 22:
		return 10;
	default:
		return 0;
	}
}

static size_t read_answer(uint8_t *answer)
{
	size_t got = 0;
	const long deadline = now_ms() + answer_deadline_ms;
	while (got < max_frame) {
		size_t want = got >= 2 ? expected_answer_len(answer) : 0;
		if (want != 0 && got >= want)
			break;
		long wait = deadline - now_ms();
		if (wait <= 0)
			break;
		/* An answer of unknown length ends when the line goes quiet. */
		const bool open_ended = got > 0 && want == 0;
		if (open_ended && wait > quiet_ms)
			wait = quiet_ms;
		struct pollfd p = { master_fd, POLLIN, 0 };
		int ready = poll(&p, 1, (int)wait);
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready < 0 || (ready == 0 && open_ended))
			break;
		if (ready == 0)
			continue;
		ssize_t n = read(master_fd, answer + got, max_frame - got);
		if (n > 0)
			got += (size_t)n;
		else if (n < 0 && errno != EAGAIN && errno != EINTR)
			break;
	}
	return got;
}

static void drain_stale_input(void)
{
	uint8_t junk[max_frame];
	while (read(master_fd, junk, sizeof junk) > 0) {
	}
}

static void send_frame(const uint8_t *request, size_t len)
{
	uint8_t wire[max_frame + 2];
	char request_text[2 * max_frame + 1];
	hex(request_text, request, len);
	memcpy(wire, request, len);
	uint16_t crc = crc16(request, len);
	wire[len] = (uint8_t)(crc & 0xFF);
	wire[len + 1] = (uint8_t)(crc >> 8);

	drain_stale_input();
	if (write(master_fd, wire, len + 2) != (ssize_t)(len + 2)) {
		fprintf(out, "BAD:write-failed %s\n", request_text);
		return;
	}

	uint8_t answer[max_frame];
	size_t got = read_answer(answer);
	char answer_text[2 * max_frame + 1];
	hex(answer_text, answer, got);
	if (got == 0) {
		fprintf(out, "NONE %s\n", request_text);
		return;
	}
	if (got < 4 || crc16(answer, got - 2) != (uint16_t)(answer[got - 2] | answer[got - 1] << 8)) {
		fprintf(out, "BAD:%s %s\n", answer_text, request_text);
		return;
	}
	size_t body = got - 2;
	if (body == 3 && answer[0] == request[0] && answer[1] == (request[1] | 0x80)) {
		fprintf(out, "EXC%u %s\n", answer[2], request_text);
		return;
	}
	/* Single writes and mask writes are echoed; multiple writes are
	 * acknowledged with unit, function, address and quantity. */
	size_t ack_len = (request[1] == 15 || request[1] == 16) ? 6 : len;
	if (body == ack_len && memcmp(answer, request, ack_len) == 0)
		fprintf(out, "OK %s\n", request_text);
	else
		fprintf(out, "BAD:%s %s\n", answer_text, request_text);
}

static void run_command(char *line)
{
	char *save = NULL;
	char *word = strtok_r(line, " \t\n", &save);
	if (word == NULL)
		return;
	if (strcmp(word, "w") == 0) {
		while ((word = strtok_r(NULL, " \t\n", &save)) != NULL) {
			uint8_t frame[max_frame];
			int len = unhex(word, frame, sizeof frame);
			if (len < 2)
				fprintf(out, "BAD:unreadable %s\n", word);
			else
				send_frame(frame, (size_t)len);
		}
	} else if (strcmp(word, "seq") == 0) {
		char *first = strtok_r(NULL, " \t\n", &save);
		char *count = strtok_r(NULL, " \t\n", &save);
		unsigned start = first ? (unsigned)strtoul(first, NULL, 10) : 0;
		unsigned n = count ? (unsigned)strtoul(count, NULL, 10) : 0;
		for (unsigned i = 0; i < n; i++) {
			unsigned value = (start + i) & 0xFFFF;
			uint8_t frame[6] = { 1, 6, (uint8_t)(value >> 8), (uint8_t)value,
					     (uint8_t)(value >> 8), (uint8_t)value };
			send_frame(frame, sizeof frame);
		}
	} else {
		fprintf(out, "BAD:unknown-command %s\n", word);
	}
}

static void die(const char *what)
{
	fprintf(stderr, "rtu_master: %s: %s\n", what, strerror(errno));
	exit(1);
}

static int connect_unix(const char *path)
{
	struct sockaddr_un address = { .sun_family = AF_UNIX };
	if (strlen(path) >= sizeof address.sun_path) {
		errno = ENAMETOOLONG;
		die(path);
	}
	strcpy(address.sun_path, path);
	/* The emulator makes its sockets one after the other, each once the one
	 * before has its peer: wait for this one to appear. */
	const long deadline = now_ms() + connect_deadline_ms;
	for (;;) {
		int fd = socket(AF_UNIX, SOCK_STREAM, 0);
		if (fd < 0)
			die("socket");
		if (connect(fd, (struct sockaddr *)&address, sizeof address) == 0)
			return fd;
		if ((errno != ENOENT && errno != ECONNREFUSED) || now_ms() > deadline)
			die(path);
		close(fd);
		poll(NULL, 0, 50);
	}
}

/* Opens a pty, links its slave side as LINK and returns the master side. */
static int open_pty_line(const char *link)
{
	int fd = posix_openpt(O_RDWR | O_NOCTTY);
	if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0)
		die("posix_openpt");
	const char *slave_name = ptsname(fd);
	if (slave_name == NULL)
		die("ptsname");
	/* Keep a slave descriptor of our own: the line must not hang up when the
	 * daemon is killed and restarted, and raw mode must hold before the
	 * daemon applies its own settings. */
	int slave_fd = open(slave_name, O_RDWR | O_NOCTTY);
	if (slave_fd < 0)
		die("open slave");
	struct termios raw;
	if (tcgetattr(slave_fd, &raw) != 0)
		die("tcgetattr");
	cfmakeraw(&raw);
	if (tcsetattr(slave_fd, TCSANOW, &raw) != 0)
		die("tcsetattr");
	unlink(link);
	if (symlink(slave_name, link) != 0)
		die("symlink");
	return fd;
}

int main(int argc, char **argv)
{
	if (argc != 4) {
		fprintf(stderr, "usage: rtu_master LINK COMMAND_PIPE OUTPUT_FILE\n"
				"       rtu_master --socket LINE_SOCKET CONTROL_SOCKET\n");
		return 2;
	}
	FILE *commands;
	if (strcmp(argv[1], "--socket") == 0) {
		master_fd = connect_unix(argv[2]);
		int control = connect_unix(argv[3]);
		commands = fdopen(control, "r");
		out = fdopen(dup(control), "w");
	} else {
		master_fd = open_pty_line(argv[1]);
		out = fopen(argv[3], "a");
		/* Read-write, so that the pipe never reports end of file between
		 * commands. */
		commands = fopen(argv[2], "r+");
	}
	if (out == NULL || commands == NULL)
		die("open commands or output");
	setvbuf(out, NULL, _IOLBF, 0);
	fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);

	char line[8192];
	unsigned number = 0;
	while (fgets(line, sizeof line, commands) != NULL) {
		run_command(line);
		fprintf(out, "DONE %u\n", ++number);
	}
	return 0;
}

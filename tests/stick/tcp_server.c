/*
 * Modbus TCP server for the stick tests. It listens on 127.0.0.1:PORT,
 * appends every request it receives to LOG_FILE as one line of hex (unit
 * identifier and PDU, the bytes of a checksum-less RTU frame; "empty" for a
 * header announcing no unit byte at all) and answers like a healthy slave:
 * single and mask writes are echoed, multiple writes acknowledged with
 * address and quantity, anything else refused with exception 1.
 *
 *   tcp_server PORT LOG_FILE READY_FILE [HOLD_FILE]
 *
 * READY_FILE is created once the socket listens. With HOLD_FILE the answer to
 * the first request waits until that file exists, so that a test can queue
 * more requests in the gateway while the first one is in flight.
 * An outage is simulated by killing the process.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { max_clients = 8, header_len = 7, max_adu = 260, read_deadline_ms = 2000,
       hold_deadline_s = 60 };

static int log_fd = -1;
static const char *hold_file;

static void die(const char *what)
{
	fprintf(stderr, "tcp_server: %s: %s\n", what, strerror(errno));
	exit(1);
}

/* The gateway writes each request with one write(); still, take the bytes
 * as TCP delivers them. */
static int read_exact(int fd, uint8_t *data, size_t len)
{
	size_t got = 0;
	while (got < len) {
		struct pollfd p = { fd, POLLIN, 0 };
		int ready = poll(&p, 1, read_deadline_ms);
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready <= 0)
			return 0;
		ssize_t n = read(fd, data + got, len - got);
		if (n <= 0)
			return 0;
		got += (size_t)n;
	}
	return 1;
}

static void log_request(const uint8_t *body, size_t len)
{
	char line[2 * max_adu + 16];
	size_t at = 0;
	if (len == 0)
		at = (size_t)sprintf(line, "empty");
	for (size_t i = 0; i < len; i++)
		at += (size_t)sprintf(line + at, "%02x", body[i]);
	line[at++] = '\n';
	if (write(log_fd, line, at) != (ssize_t)at)
		die("write log");
}

static void wait_for_hold_file(void)
{
	const struct timespec tick = { 0, 10 * 1000 * 1000 };
	for (int i = 0; i < hold_deadline_s * 100; i++) {
		if (access(hold_file, F_OK) == 0)
			return;
		nanosleep(&tick, NULL);
	}
}

/* Returns 0 when the client is gone. */
static int serve_one(int fd)
{
	static int answered;
	uint8_t adu[max_adu];
	if (!read_exact(fd, adu, 6))
		return 0;
	size_t length = (size_t)(adu[4] << 8 | adu[5]);
	if (length > max_adu - 6)
		return 0;
	if (length > 0 && !read_exact(fd, adu + 6, length))
		return 0;
	log_request(adu + 6, length);

	if (hold_file != NULL && answered == 0)
		wait_for_hold_file();
	answered = 1;

	uint8_t reply[max_adu];
	memcpy(reply, adu, 7);
	size_t body = length;
	if (length >= 2) {
		uint8_t function = adu[7];
		if (function == 5 || function == 6 || function == 22) {
			memcpy(reply + 6, adu + 6, length);
		} else if ((function == 15 || function == 16) && length >= 6) {
			memcpy(reply + 6, adu + 6, 6);
			body = 6;
		} else {
			reply[7] = (uint8_t)(function | 0x80);
			reply[8] = 1;
			body = 3;
		}
	}
	reply[4] = (uint8_t)(body >> 8);
	reply[5] = (uint8_t)body;
	if (write(fd, reply, 6 + body) != (ssize_t)(6 + body))
		return 0;
	return 1;
}

int main(int argc, char **argv)
{
	if (argc != 4 && argc != 5) {
		fprintf(stderr, "usage: tcp_server PORT LOG_FILE READY_FILE [HOLD_FILE]\n");
		return 2;
	}
	hold_file = argc == 5 ? argv[4] : NULL;
	log_fd = open(argv[2], O_WRONLY | O_CREAT | O_APPEND, 0644);
	if (log_fd < 0)
		die("open log");

	int listener = socket(AF_INET, SOCK_STREAM, 0);
	if (listener < 0)
		die("socket");
	int on = 1;
	setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	struct sockaddr_in address = { 0 };
	address.sin_family = AF_INET;
	address.sin_port = htons((uint16_t)atoi(argv[1]));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0)
		die("bind");
	if (listen(listener, 4) != 0)
		die("listen");
	int ready = open(argv[3], O_WRONLY | O_CREAT, 0644);
	if (ready < 0)
		die("ready file");
	close(ready);

	struct pollfd set[1 + max_clients];
	int clients = 0;
	set[0].fd = listener;
	set[0].events = POLLIN;
	for (;;) {
		if (poll(set, (nfds_t)(1 + clients), -1) < 0) {
			if (errno == EINTR)
				continue;
			die("poll");
		}
		for (int i = 1; i <= clients; i++) {
			if (set[i].revents == 0)
				continue;
			if (!serve_one(set[i].fd)) {
				close(set[i].fd);
				set[i] = set[clients--];
				i--;
			}
		}
		if (set[0].revents & POLLIN) {
			int fd = accept(listener, NULL, NULL);
			if (fd >= 0 && clients < max_clients) {
				clients++;
				set[clients].fd = fd;
				set[clients].events = POLLIN;
				set[clients].revents = 0;
			} else if (fd >= 0) {
				close(fd);
			}
		}
	}
}

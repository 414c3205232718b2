/*
 * Modbus TCP server that times a delivery, in the real-stick machine. It
 * listens on 127.0.0.1:PORT, answers each request like a healthy slave
 * (single and mask writes echoed, multiple writes acknowledged) and notes
 * when each arrived; after COUNT requests, or SECONDS, it prints
 *   requests N seconds S rate R
 * where R is requests/s from request FIRST (1 is the first) to the last.
 * With HOLD_MS the first answer waits that long, so that a master can fill
 * the daemon's ring meanwhile: the rate from request 2 on is then the
 * ring's own.
 *
 *   stick_drain PORT COUNT FIRST SECONDS [HOLD_MS]
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { max_adu = 260 };

static double now_s(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int read_exact(int fd, uint8_t *data, size_t len)
{
	for (size_t got = 0; got < len;) {
		struct pollfd p = { fd, POLLIN, 0 };
		if (poll(&p, 1, 2000) <= 0)
			return 0;
		ssize_t n = read(fd, data + got, len - got);
		if (n <= 0)
			return 0;
		got += (size_t)n;
	}
	return 1;
}

int main(int argc, char **argv)
{
	if (argc != 5 && argc != 6) {
		fprintf(stderr, "usage: stick_drain PORT COUNT FIRST SECONDS [HOLD_MS]\n");
		return 2;
	}
	const unsigned count = (unsigned)atoi(argv[2]), first = (unsigned)atoi(argv[3]);
	const double deadline = now_s() + atof(argv[4]);
	const int hold_ms = argc == 6 ? atoi(argv[5]) : 0;
	double *stamps = calloc(count + 1, sizeof *stamps);
	int listener = socket(AF_INET, SOCK_STREAM, 0), on = 1;
	setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	struct sockaddr_in address = { .sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1])),
				       .sin_addr.s_addr = htonl(INADDR_LOOPBACK) };
	if (stamps == NULL || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
	    listen(listener, 4) != 0) {
		fprintf(stderr, "stick_drain: listen: %s\n", strerror(errno));
		return 1;
	}
	unsigned got = 0;
	int client = -1;
	while (got < count && now_s() < deadline) {
		struct pollfd p = { client >= 0 ? client : listener, POLLIN, 0 };
		if (poll(&p, 1, 200) <= 0)
			continue;
		if (client < 0) {
			client = accept(listener, NULL, NULL);
			continue;
		}
		uint8_t adu[max_adu];
		size_t length = 0;
		if (!read_exact(client, adu, 6) || (length = (size_t)(adu[4] << 8 | adu[5])) > max_adu - 6 ||
		    length < 2 || !read_exact(client, adu + 6, length)) {
			close(client);
			client = -1;
			continue;
		}
		stamps[++got] = now_s();
		if (got == 1 && hold_ms > 0)
			poll(NULL, 0, hold_ms);
		const uint8_t function = adu[7];
		size_t body = length;
		if (function == 15 || function == 16) {
			body = 6;
		} else if (function != 5 && function != 6 && function != 22) {
			adu[7] = (uint8_t)(function | 0x80);
			adu[8] = 1;
			body = 3;
		}
		adu[4] = (uint8_t)(body >> 8);
		adu[5] = (uint8_t)body;
		if (write(client, adu, 6 + body) != (ssize_t)(6 + body)) {
			close(client);
			client = -1;
		}
	}
	const double seconds = got > first ? stamps[got] - stamps[first] : 0;
	printf("requests %u seconds %.2f rate %.1f\n", got, seconds, seconds > 0 ? (got - first) / seconds : 0);
	return 0;
}

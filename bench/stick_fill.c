/*
 * Fills a directory with record files the way korvane names and writes them
 * ("%09u.bin", created exclusively, 6 bytes, flushed and closed), from 1
 * until the file system refuses one, and says how many fitted and why the
 * next one failed.
 *
 *   stick_fill DIR
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

int main(int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, "usage: stick_fill DIR\n");
		return 2;
	}
	static const unsigned char record[6] = {0x01, 0x06, 0x00, 0x10, 0x00, 0x2a};
	struct timespec start, end;
	clock_gettime(CLOCK_MONOTONIC, &start);
	unsigned number = 1;
	int error = 0;
	const char *step = "";
	for (;; number++) {
		char path[4096];
		snprintf(path, sizeof path, "%s/%09u.bin", argv[1], number);
		FILE *file = fopen(path, "wx");
		if (file == NULL) {
			error = errno;
			step = "fopen";
			break;
		}
		int whole = fwrite(record, 1, sizeof record, file) == sizeof record;
		whole = fflush(file) == 0 && whole;
		if (!whole)
			error = errno;
		whole = fclose(file) == 0 && whole;
		if (!whole) {
			step = "write";
			remove(path);
			break;
		}
	}
	clock_gettime(CLOCK_MONOTONIC, &end);
	printf("records %u; record %u: %s failed with %s (%s); %.1f s\n", number - 1, number,
	       step, strerrorname_np(error), strerror(error),
	       (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
	return 0;
}

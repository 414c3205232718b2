/* What the real-stick machine's C helpers share: the RTU checksum and the
 * monotonic clock. Header only: each helper is built as one static file. */
#ifndef KORVANE_GUEST_UTIL_H
#define KORVANE_GUEST_UTIL_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

static inline uint16_t crc16(const uint8_t *data, size_t len)
{
	uint16_t crc = 0xFFFF;
	for (size_t i = 0; i < len; i++) {
		crc ^= data[i];
		for (int bit = 0; bit < 8; bit++)
			crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
	}
	return crc;
}

static inline long now_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

#endif

/*
 * Puts COUNT records in cache/ of a fresh FAT32 image (straight from
 * mkfs.vfat, no partition table), as korvane names and writes them:
 * "%09u.bin" from 1 up, 6 bytes each. Written into the image on the host
 * in a moment; creating them through vfat (in the machine, or with mtools)
 * scans the directory once per file and takes minutes for 30,000.
 *
 *   stick_prefill IMAGE COUNT
 *
 * Each record takes one cluster and a long-name entry plus its 8.3 entry;
 * the 8.3 names are numbers in hexadecimal, which the kernel's own
 * "xxxxxx~N" names never match. The free-cluster hint is set to unknown so
 * that the kernel counts again.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static uint8_t *image;
static uint32_t bytes_per_sector, cluster_bytes, first_data, fat_start, fat_bytes, fats;

static uint32_t get(uint32_t at, int len)
{
	uint32_t value = 0;
	for (int i = len - 1; i >= 0; i--)
		value = value << 8 | image[at + i];
	return value;
}

static void put(uint8_t *at, uint32_t value, int len)
{
	for (int i = 0; i < len; i++)
		at[i] = (uint8_t)(value >> 8 * i);
}

static uint8_t *cluster(uint32_t number)
{
	return image + first_data + (size_t)(number - 2) * cluster_bytes;
}

static void link_cluster(uint32_t number, uint32_t next)
{
	for (uint32_t f = 0; f < fats; f++)
		put(image + fat_start + f * fat_bytes + number * 4, next, 4);
}

/* A short entry: 11-byte name, attributes, first cluster, size. */
static void short_entry(uint8_t *e, const char *name, uint8_t attr, uint32_t first, uint32_t size)
{
	const uint16_t date = (46 << 9) | (12 << 5) | 8; /* 2026-12-08 */
	memset(e, 0, 32);
	memcpy(e, name, 11);
	e[11] = attr;
	put(e + 16, date, 2);
	put(e + 18, date, 2);
	put(e + 20, first >> 16, 2);
	put(e + 24, date, 2);
	put(e + 26, first & 0xFFFF, 2);
	put(e + 28, size, 4);
}

int main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: stick_prefill IMAGE COUNT\n");
		return 2;
	}
	const uint32_t count = (uint32_t)strtoul(argv[2], NULL, 10);
	int fd = open(argv[1], O_RDWR);
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0)
		return perror(argv[1]), 1;
	image = mmap(NULL, (size_t)st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (image == MAP_FAILED)
		return perror("mmap"), 1;
	bytes_per_sector = get(11, 2);
	cluster_bytes = bytes_per_sector * image[13];
	fat_start = get(14, 2) * bytes_per_sector;
	fats = image[16];
	fat_bytes = get(36, 4) * bytes_per_sector;
	first_data = fat_start + fats * fat_bytes;
	const uint32_t root = get(44, 4);
	if (get(22, 2) != 0 || root != 2) {
		fprintf(stderr, "stick_prefill: not a fresh FAT32 image\n");
		return 1;
	}
	/* ".", "..", then two entries a record, and an end mark. */
	const uint32_t dir_clusters = ((count * 2 + 3) * 32 + cluster_bytes - 1) / cluster_bytes;
	const uint32_t dir = 3, first_record = dir + dir_clusters;
	if (first_data + (size_t)(first_record + count - 2) * cluster_bytes > (size_t)st.st_size) {
		fprintf(stderr, "stick_prefill: %u records do not fit\n", count);
		return 1;
	}
	for (uint32_t c = dir; c < first_record; c++) {
		memset(cluster(c), 0, cluster_bytes);
		link_cluster(c, c + 1 < first_record ? c + 1 : 0x0FFFFFFF);
	}
	uint8_t *e = cluster(root);
	while (e[0] != 0)
		e += 32;
	short_entry(e, "CACHE      ", 0x10, dir, 0);
	e[12] = 0x08; /* shown in lower case */
	uint8_t *d = cluster(dir);
	short_entry(d, ".          ", 0x10, dir, 0);
	short_entry(d + 32, "..         ", 0x10, 0, 0);
	d += 64;
	static const uint8_t record[6] = { 0x01, 0x06, 0x00, 0x10, 0x00, 0x2a };
	for (uint32_t n = 1; n <= count; n++, d += 64) {
		char name[14], shortname[12];
		snprintf(name, sizeof name, "%09u.bin", n);
		snprintf(shortname, sizeof shortname, "%08XBIN", n);
		uint8_t sum = 0;
		for (int i = 0; i < 11; i++)
			sum = (uint8_t)(((sum & 1) << 7) + (sum >> 1) + (uint8_t)shortname[i]);
		/* One long-name entry holds 13 characters: the whole name. */
		static const int slots[13] = { 1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30 };
		memset(d, 0, 32);
		d[0] = 0x41;
		d[11] = 0x0F;
		d[13] = sum;
		for (int i = 0; i < 13; i++)
			d[slots[i]] = (uint8_t)name[i];
		const uint32_t c = first_record + n - 1;
		short_entry(d + 32, shortname, 0x20, c, sizeof record);
		memset(cluster(c), 0, cluster_bytes);
		memcpy(cluster(c), record, sizeof record);
		link_cluster(c, 0x0FFFFFFF);
	}
	/* FSInfo: free count and next free cluster unknown. */
	uint8_t *info = image + get(48, 2) * bytes_per_sector;
	put(info + 488, 0xFFFFFFFF, 4);
	put(info + 492, 0xFFFFFFFF, 4);
	if (msync(image, (size_t)st.st_size, MS_SYNC) != 0)
		return perror("msync"), 1;
	return 0;
}

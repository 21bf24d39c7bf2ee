/* Guest-side helper for the damaged-firmware lab suite: changes the
 * firmware's tables in physical memory through /dev/mem, so that a guest
 * plays firmware with a stale root-table entry or without an XSDT. Built
 * statically on the host and copied into the guest; a guest that ran it
 * is used for that one case only.
 *
 *   table_patch entry ROOT INDEX ADDRESS
 *       sets entry INDEX of the RSDT or XSDT at ROOT (the entry size follows
 *       its signature) to ADDRESS and fixes the root table's checksum.
 *   table_patch xsdt-address RSDP ADDRESS
 *       sets the XSDT address of the revision 2 RSDP at RSDP to ADDRESS and
 *       fixes both of its checksums.
 *
 * Either prints "old 0x%016llX" with the value it replaced. Numbers are
 * taken as strtoull reads them with base 0.
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static void die(const char *what)
{
	perror(what);
	exit(1);
}

static void fail(const char *message)
{
	fprintf(stderr, "table_patch: %s\n", message);
	exit(1);
}

static uint64_t number(const char *text)
{
	char *end;
	unsigned long long value = strtoull(text, &end, 0);

	if (*text == '\0' || *end != '\0')
		fail("not a number");
	return value;
}

/* A writable, shared mapping of [address, address + length): what is
 * written there reaches physical memory, and every later reader sees it. */
static uint8_t *map(uint64_t address, size_t length, void **start, size_t *size)
{
	long page = sysconf(_SC_PAGESIZE);
	uint64_t offset = address % page;
	int fd = open("/dev/mem", O_RDWR);

	if (fd < 0)
		die("/dev/mem");
	*size = length + offset;
	*start = mmap(NULL, *size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
		      (off_t)(address - offset));
	if (*start == MAP_FAILED)
		die("mmap");
	close(fd);
	return (uint8_t *)*start + offset;
}

/* Physical memory has no page cache: what was written is there already. */
static void unmap(void *start, size_t size)
{
	munmap(start, size);
}

static uint64_t get(const uint8_t *p, size_t width)
{
	uint64_t value = 0;

	for (size_t i = 0; i < width; i++)
		value |= (uint64_t)p[i] << (8 * i);
	return value;
}

static void put(uint8_t *p, size_t width, uint64_t value)
{
	for (size_t i = 0; i < width; i++)
		p[i] = (uint8_t)(value >> (8 * i));
}

/* Sets the byte at `at` so that the first `length` bytes sum to 0. */
static void fix_sum(uint8_t *p, size_t length, size_t at)
{
	uint8_t sum = 0;

	p[at] = 0;
	for (size_t i = 0; i < length; i++)
		sum = (uint8_t)(sum + p[i]);
	p[at] = (uint8_t)-sum;
}

static uint64_t patch_entry(uint64_t root, uint64_t index, uint64_t address)
{
	void *start;
	size_t size;
	uint8_t *header = map(root, 36, &start, &size);
	uint32_t length = (uint32_t)get(header + 4, 4);
	size_t width;
	uint64_t old;
	uint8_t *table;

	if (memcmp(header, "XSDT", 4) == 0)
		width = 8;
	else if (memcmp(header, "RSDT", 4) == 0)
		width = 4;
	else
		fail("no RSDT or XSDT there");
	unmap(start, size);
	if (length < 36 || index >= (length - 36) / width)
		fail("no such entry");

	table = map(root, length, &start, &size);
	old = get(table + 36 + index * width, width);
	put(table + 36 + index * width, width, address);
	fix_sum(table, length, 9);
	unmap(start, size);
	return old;
}

static uint64_t patch_xsdt_address(uint64_t rsdp, uint64_t address)
{
	void *start;
	size_t size;
	uint8_t *p = map(rsdp, 36, &start, &size);
	uint64_t old;

	if (memcmp(p, "RSD PTR ", 8) != 0 || p[15] < 2)
		fail("no RSDP of revision 2 or later there");
	old = get(p + 24, 8);
	put(p + 24, 8, address);
	fix_sum(p, 20, 8);
	fix_sum(p, 36, 32);
	unmap(start, size);
	return old;
}

int main(int argc, char **argv)
{
	uint64_t old;

	if (argc == 5 && strcmp(argv[1], "entry") == 0)
		old = patch_entry(number(argv[2]), number(argv[3]),
				  number(argv[4]));
	else if (argc == 4 && strcmp(argv[1], "xsdt-address") == 0)
		old = patch_xsdt_address(number(argv[2]), number(argv[3]));
	else
		fail("usage: table_patch entry ROOT INDEX ADDRESS | "
		     "xsdt-address RSDP ADDRESS");
	printf("old 0x%016llX\n", (unsigned long long)old);
	return 0;
}

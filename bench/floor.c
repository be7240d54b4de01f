/* The floor: the least a channel change must do on a device tree, with nothing else. Lists the
 * class directory, reads each interface's device link in hidraw order until one names a HID device
 * BUS:6666:F100.N, reads that one's report descriptor, opens its node and writes three 9-byte
 * reports.
 *   floor SYSFS-ROOT DEV-ROOT */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { kMaxInterfaces = 4096 };

static unsigned numbers[kMaxInterfaces];

static int Compare(const void* a, const void* b) {
  const unsigned x = *(const unsigned*)a, y = *(const unsigned*)b;
  return x < y ? -1 : x > y;
}

/* One open, one read, one close: the file's first bytes, NUL-terminated. */
static long ReadFile(const char* path, char* buffer, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t count = read(fd, buffer, size - 1);
  close(fd);
  if (count < 0) return -1;
  buffer[count] = '\0';
  return count;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: floor SYSFS-ROOT DEV-ROOT\n", stderr);
    return 2;
  }
  char path[4096];
  snprintf(path, sizeof path, "%s/class/hidraw", argv[1]);
  const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 1;
  size_t count = 0;
  char entries[32768];
  for (;;) {
    const long got = syscall(SYS_getdents64, dir, entries, sizeof entries);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      const struct dirent64* entry = (const struct dirent64*)(entries + at);
      if (strncmp(entry->d_name, "hidraw", 6) == 0 && count < kMaxInterfaces) {
        numbers[count++] = (unsigned)strtoul(entry->d_name + 6, NULL, 10);
      }
      at += entry->d_reclen;
    }
  }
  close(dir);
  qsort(numbers, count, sizeof numbers[0], Compare);

  char text[4097];
  for (size_t i = 0; i < count; ++i) {
    snprintf(path, sizeof path, "%s/class/hidraw/hidraw%u/device", argv[1], numbers[i]);
    const ssize_t length = readlink(path, text, sizeof text - 1);
    if (length <= 0) continue;
    text[length] = '\0';
    const char* name = strrchr(text, '/');
    name = name != NULL ? name + 1 : text;
    if (strlen(name) < 15 || strncasecmp(name + 4, ":6666:F100.", 11) != 0) continue;
    snprintf(path, sizeof path, "%s/class/hidraw/hidraw%u/device/report_descriptor", argv[1],
             numbers[i]);
    if (ReadFile(path, text, sizeof text) <= 0) return 1;
    snprintf(path, sizeof path, "%s/hidraw%u", argv[2], numbers[i]);
    const int node = open(path, O_RDWR | O_CLOEXEC);
    if (node < 0) return 1;
    for (unsigned char digit = 1; digit <= 3; ++digit) {
      const unsigned char report[9] = {0, 0x31, 5, digit, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A};
      if (write(node, report, sizeof report) != (ssize_t)sizeof report) return 1;
    }
    return 0;
  }
  return 1;
}

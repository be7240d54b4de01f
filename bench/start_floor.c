/* The start-up floor: what `tunezap BOX VALUE CHANNEL` does on a machine without the box, and
 * nothing else. Writes the same console bytes, lists /sys/class/hidraw once (the program sends
 * no later report once one was not delivered), reading each interface's identity, and writes the
 * same error line. Linked as the program it is the floor for is (static PIE where it can be).
 *   start_floor BOX VALUE CHANNEL */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Interfaces seen; 0 when the class directory cannot be read, as for the program. */
static unsigned Scan(void) {
  const int dir = open("/sys/class/hidraw", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  unsigned count = 0;
  char entries[32768], path[4096], text[4097];
  for (;;) {
    const long got = syscall(SYS_getdents64, dir, entries, sizeof entries);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      const struct dirent64* entry = (const struct dirent64*)(entries + at);
      at += entry->d_reclen;
      if (strncmp(entry->d_name, "hidraw", 6) != 0) continue;
      ++count;
      snprintf(path, sizeof path, "/sys/class/hidraw/%s/device/uevent", entry->d_name);
      const int fd = open(path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      const ssize_t length = read(fd, text, sizeof text - 1);
      close(fd);
      if (length > 0) text[length] = '\0';
    }
  }
  close(dir);
  return count;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fputs("usage: start_floor BOX VALUE CHANNEL\n", stderr);
    return 2;
  }
  char text[512];
  int length = snprintf(text, sizeof text,
                        "Console Application Example In Visual Basic.\r\n\r\n"
                        "Command Line Parameters: %s %s %s\r\n",
                        argv[1], argv[2], argv[3]);
  if (write(STDOUT_FILENO, text, (size_t)length) != length) return 1;
  const int box = atoi(argv[1]) == 0 ? '0' : '1';
  const int channel = atoi(argv[3]);
  const int digits[3] = {channel >= 1000 ? channel / 100 : channel / 100 % 10, channel / 10 % 10,
                         channel % 10};
  unsigned interfaces = 0;
  for (int i = 0; i < 3; ++i) {
    length = snprintf(text, sizeof text, "\r\n1:%d 2:%d 3:%d\r\n", box, digits[i], digits[i]);
    if (write(STDOUT_FILENO, text, (size_t)length) != length) return 1;
    if (i == 0) interfaces = Scan();
  }
  length = snprintf(text, sizeof text,
                    "tunezap: channel %d not changed: report 1 of 3 not delivered (no device "
                    "6666:f100 among %u HID interfaces); reports 2, 3 not sent\n",
                    channel, interfaces);
  if (write(STDERR_FILENO, text, (size_t)length) != length) return 1;
  return 1;
}

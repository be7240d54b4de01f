/* Runs commands many times, taking turns so that a machine's slow spells fall on each alike, and
 * prints for each a line with the median wall time in microseconds, the largest peak resident
 * set size of any of its runs in KiB, and the median processor time (user and system) in
 * microseconds, which waiting for a busy machine's processors does not count. Before each run the
 * files named with -t are truncated, so that device nodes standing in as regular files do not grow
 * from run to run. timer RUNS [-t FILE]... -- COMMAND [ARGUMENT...] [-- COMMAND [ARGUMENT...]]...
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int Compare(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fputs("usage: timer RUNS [-t FILE]... -- COMMAND [ARGUMENT...] [-- COMMAND...]...\n", stderr);
    return 2;
  }
  const int runs = atoi(argv[1]);
  int at = 2;
  const char* truncated[64];
  int truncatedCount = 0;
  while (at < argc && strcmp(argv[at], "--") != 0) {
    if (strcmp(argv[at], "-t") == 0 && at + 1 < argc && truncatedCount < 64) {
      truncated[truncatedCount++] = argv[at + 1];
      at += 2;
    } else {
      fprintf(stderr, "timer: unexpected '%s'\n", argv[at]);
      return 2;
    }
  }
  if (runs < 1 || at + 1 >= argc) return 2;
  /* Split the rest at each "--" into NULL-terminated commands. */
  enum { kMaxCommands = 8 };
  char** commands[kMaxCommands];
  int commandCount = 0;
  for (int i = at; i < argc && commandCount < kMaxCommands; ++i) {
    if (strcmp(argv[i], "--") != 0) continue;
    argv[i] = NULL;
    if (i + 1 < argc) commands[commandCount++] = argv + i + 1;
  }

  double* times = calloc((size_t)(runs * commandCount), sizeof *times);
  double* cpu = calloc((size_t)(runs * commandCount), sizeof *cpu);
  long peak[kMaxCommands] = {0};
  int failures = 0;
  for (int i = 0; i < runs; ++i) {
    for (int c = 0; c < commandCount; ++c) {
      for (int t = 0; t < truncatedCount; ++t) {
        /* A file left to grow would make later runs slower: no figures rather than wrong ones. */
        if (truncate(truncated[t], 0) != 0) {
          perror(truncated[t]);
          return 1;
        }
      }
      struct timespec start, end;
      clock_gettime(CLOCK_MONOTONIC, &start);
      const pid_t child = fork();
      if (child == 0) {
        /* As recording servers run it: every standard stream on the null device. */
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(commands[c][0], commands[c]);
        _exit(127);
      }
      int status = 0;
      struct rusage usage;
      wait4(child, &status, 0, &usage);
      clock_gettime(CLOCK_MONOTONIC, &end);
      times[c * runs + i] =
          (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
      cpu[c * runs + i] = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
                          (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
      if (usage.ru_maxrss > peak[c]) peak[c] = usage.ru_maxrss;
      if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) ++failures;
    }
  }
  for (int c = 0; c < commandCount; ++c) {
    double* own = times + c * runs;
    double* ownCpu = cpu + c * runs;
    qsort(own, (size_t)runs, sizeof *own, Compare);
    qsort(ownCpu, (size_t)runs, sizeof *ownCpu, Compare);
    const double median = runs % 2 ? own[runs / 2] : (own[runs / 2 - 1] + own[runs / 2]) / 2;
    const double medianCpu =
        runs % 2 ? ownCpu[runs / 2] : (ownCpu[runs / 2 - 1] + ownCpu[runs / 2]) / 2;
    printf("%.0f %ld %.0f\n", median, peak[c], medianCpu);
  }
  free(times);
  free(cpu);
  return failures == 0 ? 0 : 1;
}

// Runs a program as an ordinary user inside the test guest, which has no user database:
//   run_as UID GID[,GID...] PROGRAM ARG...
// The first GID becomes the group, all of them the supplementary groups.
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace RunAs {

bool ParseId(const std::string& text, unsigned* id) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  try {
    const unsigned long value = std::stoul(text);
    if (value > 0xFFFFFFFEul) return false;
    *id = static_cast<unsigned>(value);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

int Run(int argc, char** argv) {
  unsigned uid = 0;
  std::vector<gid_t> groups;
  bool usable = argc >= 4 && ParseId(argv[1], &uid);
  for (std::size_t start = 0, comma = 0; usable && comma != std::string::npos; start = comma + 1) {
    const std::string list = argv[2];
    comma = list.find(',', start);
    unsigned gid = 0;
    usable = ParseId(list.substr(start, comma - start), &gid);
    groups.push_back(gid);
  }
  if (!usable) {
    std::fprintf(stderr, "usage: run_as UID GID[,GID...] PROGRAM ARG...\n");
    return 2;
  }
  // Groups first: once the user id is dropped they can no longer be changed.
  if (setgroups(groups.size(), groups.data()) != 0 || setgid(groups.front()) != 0 ||
      setuid(uid) != 0) {
    std::fprintf(stderr, "run_as: %s\n", std::strerror(errno));
    return 126;
  }
  execv(argv[3], argv + 3);
  std::fprintf(stderr, "run_as: %s: %s\n", argv[3], std::strerror(errno));
  return 127;
}

}  // namespace RunAs

int main(int argc, char** argv) { return RunAs::Run(argc, argv); }

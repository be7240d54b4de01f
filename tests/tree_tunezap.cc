// tunezap on a device tree of the caller's making, for tests and benchmarks:
//   tree_tunezap SYSFS-ROOT DEV-ROOT [box value channel]
#include <cstdio>

#include "device_tree.h"
#include "front/MainMod.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: tree_tunezap SYSFS-ROOT DEV-ROOT [ARGUMENT...]\n", stderr);
    return 2;
  }
  if (!APIdeclarations::SecureStandardStreams()) return 1;
  DeviceTree::Use(argv[1], argv[2]);
  // argv[2] stands where the program's name would, so the arguments after it form the text.
  return MainMod::Main(APIdeclarations::GetArgumentWords(argc - 2, argv + 2));
}

// The device trees that tests and benchmarks make: a sysfs of their own, and regular files or
// fifos standing in for the nodes, since only root may make character devices.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/linux/LinuxRoots.h"

namespace DeviceTree {

// Points the Linux layer at the tree with its sysfs at `sysfs` and its nodes in `dev`.
inline void Use(const std::string& sysfs, const std::string& dev) {
  LinuxRoots::SetRoots(sysfs, dev, [](mode_t mode) { return S_ISREG(mode) || S_ISFIFO(mode); });
}

}  // namespace DeviceTree

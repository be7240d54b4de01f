// Where the Linux platform layer looks for HID interfaces. The defaults are the real system's;
// tests and benchmarks point them at a device tree of their own making.
#pragma once

#include <sys/types.h>

#include <string>

namespace LinuxRoots {

// Tells, by its file type, a node that stands in for the interface its name gives in a tree made
// by hand: one that reaches no driver and has no device number, for which the interface's sysfs
// entry speaks instead.
using StandInTest = bool (*)(mode_t mode);

// The sysfs root (default "/sys") and the device-node root (default "/dev"). The interfaces are
// <sysfs>/class/hidraw/hidrawN, with nodes in <dev> found by number (<sysfs>/dev/char/MAJ:MIN).
// Without `standIn`, as on a real system, a node that is no character device is no interface.
void SetRoots(const std::string& sysfsRoot, const std::string& devRoot,
              StandInTest standIn = nullptr);

}  // namespace LinuxRoots

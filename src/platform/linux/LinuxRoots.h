// Where the Linux platform layer looks for HID interfaces. The defaults are the real system's;
// tests and benchmarks point them at a device tree of their own making.
#pragma once

#include <string>

namespace LinuxRoots {

// The sysfs root (default "/sys") and the device-node root (default "/dev"). The interfaces are
// <sysfs>/class/hidraw/hidrawN, with nodes in <dev> found by number (<sysfs>/dev/char/MAJ:MIN).
void SetRoots(const std::string& sysfsRoot, const std::string& devRoot);

}  // namespace LinuxRoots

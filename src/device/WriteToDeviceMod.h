// The device link: finds the set-top box's HID device and writes output reports to it.
// SendOutputReport is the only entry the rest of the program uses.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/APIdeclarations.h"

namespace WriteToDeviceMod {

// The device this program drives, compared exactly.
inline constexpr std::uint16_t kVendorID = 0x6666;
inline constexpr std::uint16_t kProductID = 0xF100;

// The eight data bytes of one output report, in the order they are sent.
using ReportRequest = std::array<std::uint8_t, 8>;

// How long a run waits for another run that is using the same device.
inline constexpr unsigned kLockTimeoutMilliseconds = 10000;

// The link's state for the whole process. All zero at start; once DeviceDetected is set it stays
// set, and HIDHandle and OutputReportByteLength stay valid until the process ends.
struct DeviceLinkState {
  bool DeviceDetected = false;
  bool EnumerationDone = false;
  std::int32_t LastResult = 0;  // nonzero when the latest platform call succeeded
  APIdeclarations::PlatformHandle DeviceInfoSet = APIdeclarations::kInvalidHandle;
  std::string DevicePath;
  APIdeclarations::PlatformHandle HIDHandle = APIdeclarations::kInvalidHandle;
  APIdeclarations::DeviceAttributes Attributes;
  std::uint16_t OutputReportByteLength = 0;

  // Why the latest report was not delivered, ready to show the user; empty after a delivery.
  std::string Problem;
  bool ProblemIsAccess = false;          // a matching device exists but this user may not open it
  std::uint32_t InterfacesExamined = 0;  // members of the latest search
};

extern DeviceLinkState LinkState;

enum class Delivery {
  kDelivered,
  kNotDelivered,   // no device, or the write failed; later reports may still get through
  kDeviceUnusable  // the device can never take a report (too short, locked): stop sending
};

// Walks the present HID interfaces and keeps the first one with the right identity, opened,
// locked and with its output report length read. The identity of each interface is peeked
// without opening it; only a match is opened, and its identity confirmed on the open handle.
// True when such a device was found.
bool LocateDevice();

// Reads the output report length of the device in LinkState.HIDHandle.
void ReadDeviceCapabilities();

// Sends one report, searching for the device first while none has been found. The report is
// byte 0x00 (no report id) followed by the request, zero-extended to the output report length.
Delivery SendOutputReport(const ReportRequest& request);

// Forgets everything, as at process start, without closing anything. For tests.
void ResetForTesting();

}  // namespace WriteToDeviceMod

// The device link: finds the set-top box's HID device and writes output reports to it. The rest
// of the program sets what to look for with Choose, then sends with SendOutputReport (asking
// LatestProblem why a report was not delivered) or lists with ListInterfaces. LinkState is the
// link's own record, read by tests.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/APIdeclarations.h"

namespace WriteToDeviceMod {

// The device this program drives, compared exactly.
inline constexpr std::uint16_t kVendorID = 0x6666;
inline constexpr std::uint16_t kProductID = 0xF100;

// The eight data bytes of one output report, in the order they are sent.
using ReportRequest = std::array<std::uint8_t, 8>;

// How long a run waits for another run that is using the same device, unless it waits for the
// device itself (WaitLimit): then until that deadline.
inline constexpr unsigned kLockTimeoutMilliseconds = 10000;

// The link's state for the whole process. All zero at start; once DeviceDetected is set it stays
// set, and HIDHandle and OutputReportByteLength stay valid until the process ends.
struct DeviceLinkState {
  bool DeviceDetected = false;
  bool EnumerationDone = false;
  std::int32_t LastResult = 0;  // nonzero when the latest platform call succeeded
  std::vector<APIdeclarations::InterfaceMember> DeviceInfoSet;  // the search in progress
  std::string DevicePath;
  APIdeclarations::PlatformHandle HIDHandle = APIdeclarations::kInvalidHandle;
  APIdeclarations::DeviceAttributes Attributes;
  std::uint16_t OutputReportByteLength = 0;

  // Why the latest report was not delivered, ready to show the user; empty after a delivery.
  std::string Problem;
  bool ProblemIsLasting = false;  // waiting cannot mend it (another device, held past the wait)
  std::uint32_t InterfacesExamined = 0;  // members of the latest search
};

extern DeviceLinkState LinkState;

// Which interfaces the search may use. Unset parts admit every interface.
struct DeviceSelection {
  std::optional<std::string> Serial;      // only a device whose serial number is exactly this
  std::optional<std::string> DevicePath;  // only the interface this path names
};

// How long a search may wait for a device that is not usable yet (absent, its node not there yet,
// not yet open to this user, held by another run). A device that can never be used (another
// device at --device, one whose report is too short) is not waited for.
struct WaitLimit {
  std::chrono::steady_clock::time_point Deadline;  // counted from the start of the run
  unsigned Milliseconds = 0;                       // as asked for, for messages
};

// Sets what the search may use and how long it may wait (not at all without `waiting`), before
// the first report or listing.
void Choose(const DeviceSelection& selection, const std::optional<WaitLimit>& waiting);

// Why the latest report was not delivered, ready to show the user.
const std::string& LatestProblem();

// The path of the device the reports went to; empty before one was found.
const std::string& DeviceInUse();

enum class Delivery {
  kDelivered,
  kNotDelivered,   // no device, or the write failed
  kDeviceUnusable  // the device can never take a report (too short, locked)
};

// Walks the present HID interfaces and keeps the first one with the right identity, opened,
// locked and with its output report length read. The identity of each interface is peeked
// without opening it; only a match is opened, and its identity confirmed on the open handle.
// True when such a device was found.
bool LocateDevice();

// Reads the output report length of the device in LinkState.HIDHandle.
void ReadDeviceCapabilities();

// Sends one report, searching for the device first while none has been found (and with a wait
// chosen, searching again at each change of the HID interfaces until the deadline). The report is
// byte 0x00 (no report id) followed by the request, zero-extended to the output report length. From
// its first write on, catchable requests to end the process are held (see HoldTermination), so that
// a channel's reports are written whole; the search and its waits before it stay killable.
Delivery SendOutputReport(const ReportRequest& request);

// Ends the writes of a channel: a request to end the process held since its first write takes
// effect here. Does nothing when nothing was written.
void EndChannel();

// One HID interface as the search sees it, learned without opening any interface but the device.
struct InterfaceListing {
  std::string Path;  // empty for a member without a usable path, or without a node here
  bool AttributesKnown = false;
  APIdeclarations::DeviceAttributes Attributes;
  bool SerialKnown = false;
  std::string Serial;  // device text, unescaped; empty when the device has none
  bool LengthKnown = false;
  std::uint16_t OutputReportByteLength = 0;
  bool IsDevice = false;  // 6666:F100
  bool Selected = false;  // a device that Selection admits
  bool Openable = false;  // a device this user can open for reading and writing
  // The one a run would use: the first selected device that opens and, with a serial chosen, whose
  // open handle answers with it.
  bool WouldUse = false;
  std::string Problem;  // why it is not openable, or why something above is unknown
};

// Every present HID interface, in search order. Each device (and no other interface) is opened
// and closed again at once, to learn whether this user may open it. Problem: when no interface
// would be used, or the one that would cannot take the report, why, in the words a failed run
// would use. With a wait chosen, listed again at each change of the HID interfaces until a run
// would have a usable device or the deadline passes.
std::vector<InterfaceListing> ListInterfaces(std::string* problem);

// Forgets everything, as at process start, without closing anything. For tests.
void ResetForTesting();

}  // namespace WriteToDeviceMod

#include "device/WriteToDeviceMod.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/SecondsText.h"

namespace WriteToDeviceMod {

namespace api = APIdeclarations;

DeviceLinkState LinkState;
DeviceSelection Selection;
WaitLimit Waiting;

namespace {

// Byte 0 of every report: the device uses no report ids.
constexpr std::uint8_t kReportID = 0x00;
constexpr std::size_t kReportLength = 1 + std::tuple_size_v<ReportRequest>;

// Set when the device was found but can never be used in this run (held by another run).
bool DeviceUnusable = false;

// Set from a channel's first write until EndChannel.
bool TerminationHeld = false;

bool IsOurDevice(const api::DeviceAttributes& attributes) {
  return attributes.VendorID == kVendorID && attributes.ProductID == kProductID;
}

std::string DeviceName() { return "device 6666:f100"; }

// A path for a message.
std::string PathText(std::string_view path) { return EscapedText(path, false); }

// Whether Selection admits the interface at `path`, judged without opening it; `peeked` is its
// peeked identity, null when unknown. An interface that --device names but that is another device
// is refused, with `refusal` saying so.
bool Admitted(const std::string& path, const api::DeviceAttributes* peeked, std::string* refusal) {
  if (Selection.DevicePath) {
    if (!api::IsSameInterface(*Selection.DevicePath, path)) return false;
    if (peeked != nullptr && !IsOurDevice(*peeked)) {
      *refusal = PathText(*Selection.DevicePath) + " is " + IdentityText(*peeked) + ", not " +
                 IdentityText({kVendorID, kProductID});
      return false;
    }
  }
  if (Selection.Serial) {
    // Only a device's serial number is asked for: nothing else is touched more than needed.
    if (peeked == nullptr || !IsOurDevice(*peeked)) return false;
    std::string serial;
    api::CallResult ignored;
    return api::PeekSerialNumber(path, &serial, &ignored) && serial == *Selection.Serial;
  }
  return true;
}

// With --serial, whether the device behind the open handle still has that serial number: the
// node may have passed to another device since it was peeked.
bool HasSelectedSerial(api::PlatformHandle device) {
  if (!Selection.Serial) return true;
  std::string serial;
  api::CallResult ignored;
  LinkState.LastResult = api::GetSerialNumber(device, &serial, &ignored) ? 1 : 0;
  return LinkState.LastResult != 0 && serial == *Selection.Serial;
}

// Milliseconds left until the deadline of Waiting, rounded up; 0 once it has passed.
unsigned MillisecondsLeft() {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(Waiting.Deadline -
                                                                 std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}

// Runs `search` (true when done: found, or failed for good) and, with Waiting, again at each
// change of the HID interfaces until it is done or the deadline passes; a search given up at the
// deadline says so in `problem`. Watching starts before the first search, so that a device
// arriving between a search and the wait after it is not missed.
template <typename Search>
void SearchUntilDeadline(Search search, std::string* problem) {
  if (!Waiting.Given) {
    search();
    return;
  }
  api::WatchInterfaces();
  while (!search()) {
    const unsigned left = MillisecondsLeft();
    if (left == 0) {
      *problem += " (waited " + api::SecondsText(Waiting.Milliseconds) + " s)";
      return;
    }
    api::WaitForInterfaceChange(left);
  }
}

// What was looked for, for "no ... among N HID interfaces".
std::string SoughtName() {
  std::string sought = DeviceName();
  if (Selection.DevicePath) sought += " at " + PathText(*Selection.DevicePath);
  if (Selection.Serial) sought += " with serial " + EscapedText(*Selection.Serial);
  return sought;
}

}  // namespace

std::string EscapedText(std::string_view text, bool quoteMarks, bool blanks) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || (blanks && c == ' ')) {
      char hex[5];
      // The buffer has room for the whole text: nothing can fail or be cut.
      static_cast<void>(std::snprintf(hex, sizeof hex, "\\x%02X", byte));
      escaped += hex;
    } else {
      if (quoteMarks && (c == '"' || c == '\\')) escaped += '\\';
      escaped += c;
    }
  }
  return escaped;
}

std::string IdentityText(const api::DeviceAttributes& attributes) {
  char text[10];
  // The buffer has room for the whole text: nothing can fail or be cut.
  static_cast<void>(
      std::snprintf(text, sizeof text, "%04x:%04x", attributes.VendorID, attributes.ProductID));
  return text;
}

bool LocateDevice() {
  LinkState.EnumerationDone = false;
  LinkState.DeviceDetected = false;
  LinkState.InterfacesExamined = 0;
  LinkState.Problem.clear();
  LinkState.ProblemIsAccess = false;
  LinkState.ProblemIsLasting = false;

  api::CallResult setResult;
  LinkState.DeviceInfoSet = api::OpenInterfaceSet(&setResult);
  LinkState.LastResult = setResult.ok ? 1 : 0;

  // A matching device we could not open, remembered to explain a failed search.
  std::string unopenable;
  bool unopenableForAccess = false;
  // The interface --device names when it is another device.
  std::string refused;

  for (std::uint32_t index = 0; !LinkState.DeviceDetected; ++index) {
    api::CallResult result;
    std::string path;
    const api::MemberStatus status =
        api::GetInterfacePath(LinkState.DeviceInfoSet, index, &path, &result);
    LinkState.LastResult = status == api::MemberStatus::kEnd ? 0 : 1;
    if (status == api::MemberStatus::kEnd) {
      LinkState.EnumerationDone = true;
      break;
    }
    ++LinkState.InterfacesExamined;
    if (status == api::MemberStatus::kUnusable) continue;

    // Only a candidate is opened: opening a HID interface powers it up in its driver, and a
    // keyboard or a game pad has no business being woken by a channel changer.
    api::DeviceAttributes peeked;
    LinkState.LastResult = api::PeekDeviceAttributes(path, &peeked, &result) ? 1 : 0;
    if (!Admitted(path, LinkState.LastResult != 0 ? &peeked : nullptr, &refused)) continue;
    if (LinkState.LastResult == 0 || !IsOurDevice(peeked)) continue;

    // Opened, and named from here on, as this system's device directory names it.
    std::string node = path;
    LinkState.HIDHandle = api::FindDeviceNode(path, &node, &result) ? api::OpenDevice(node, &result)
                                                                    : api::kInvalidHandle;
    LinkState.DevicePath = node;
    LinkState.LastResult = LinkState.HIDHandle != api::kInvalidHandle ? 1 : 0;
    if (LinkState.HIDHandle == api::kInvalidHandle) {
      if (unopenable.empty()) {
        unopenable =
            DeviceName() + " found at " + node + " but it could not be opened: " + result.reason;
        unopenableForAccess = result.accessDenied;
      }
      continue;
    }

    // The path may have passed to another device since it was peeked: what counts is the
    // identity of the device behind the handle, which is the one the reports will reach.
    LinkState.Attributes = {};
    LinkState.LastResult =
        api::GetDeviceAttributes(LinkState.HIDHandle, &LinkState.Attributes, &result) ? 1 : 0;
    if (LinkState.LastResult != 0 && IsOurDevice(LinkState.Attributes) &&
        HasSelectedSerial(LinkState.HIDHandle)) {
      LinkState.DeviceDetected = true;
    } else {
      api::CloseDevice(LinkState.HIDHandle);
      LinkState.HIDHandle = api::kInvalidHandle;
    }
  }

  api::CloseInterfaceSet(LinkState.DeviceInfoSet);
  LinkState.DeviceInfoSet = api::kInvalidHandle;

  if (!LinkState.DeviceDetected) {
    if (!unopenable.empty()) {
      LinkState.Problem = unopenable;
      const std::string hint = api::AccessDeniedHint();
      if (unopenableForAccess && !hint.empty()) LinkState.Problem += " (" + hint + ")";
    } else if (!refused.empty()) {
      LinkState.Problem = refused;
      LinkState.ProblemIsLasting = true;
    } else {
      LinkState.Problem = "no " + SoughtName() + " among " +
                          std::to_string(LinkState.InterfacesExamined) + " HID interfaces";
      if (!setResult.ok) LinkState.Problem += " (" + setResult.reason + ")";
    }
    LinkState.ProblemIsAccess = unopenableForAccess;
    return false;
  }

  // Held until the process ends, so that two runs never interleave their digits. A run that waits
  // for the device waits for another run's lock as long, and no longer.
  api::CallResult lockResult;
  const unsigned lockTimeout = Waiting.Given ? MillisecondsLeft() : kLockTimeoutMilliseconds;
  if (!api::LockDevice(LinkState.HIDHandle, LinkState.DevicePath, lockTimeout, &lockResult)) {
    LinkState.LastResult = 0;
    LinkState.Problem = DeviceName() + " at " + LinkState.DevicePath +
                        " is in use by another run: " + lockResult.reason;
    api::CloseDevice(LinkState.HIDHandle);
    LinkState.HIDHandle = api::kInvalidHandle;
    LinkState.DeviceDetected = false;
    LinkState.ProblemIsLasting = true;
    DeviceUnusable = true;
    return false;
  }

  ReadDeviceCapabilities();
  return true;
}

void ReadDeviceCapabilities() {
  api::CallResult result;
  std::uint16_t length = 0;
  LinkState.LastResult =
      api::GetOutputReportByteLength(LinkState.HIDHandle, &length, &result) ? 1 : 0;
  // An unreadable length counts as no output report at all: nothing can be sent to it.
  LinkState.OutputReportByteLength = LinkState.LastResult != 0 ? length : 0;
  if (LinkState.LastResult == 0) LinkState.Problem = result.reason;
}

Delivery SendOutputReport(const ReportRequest& request) {
  if (!LinkState.DeviceDetected) {
    SearchUntilDeadline([] { return LocateDevice() || LinkState.ProblemIsLasting; },
                        &LinkState.Problem);
  }
  if (!LinkState.DeviceDetected) {
    return DeviceUnusable ? Delivery::kDeviceUnusable : Delivery::kNotDelivered;
  }

  const std::uint16_t length = LinkState.OutputReportByteLength;
  if (length < kReportLength) {
    std::string why = DeviceName() + " at " + LinkState.DevicePath +
                      " has an output report length of " + std::to_string(length) +
                      " bytes; at least " + std::to_string(kReportLength) + " are needed";
    if (length == 0 && !LinkState.Problem.empty()) why += " (" + LinkState.Problem + ")";
    LinkState.Problem = why;
    return Delivery::kDeviceUnusable;
  }

  std::vector<std::uint8_t> report(length, 0);
  report[0] = kReportID;
  std::copy(request.begin(), request.end(), report.begin() + 1);

  if (!TerminationHeld) {
    api::HoldTermination();
    TerminationHeld = true;
  }
  api::CallResult result;
  const bool written = api::WriteReport(LinkState.HIDHandle, report.data(), report.size(), &result);
  LinkState.LastResult = written ? 1 : 0;
  if (!written) {
    LinkState.Problem = result.reason;
    return Delivery::kNotDelivered;
  }
  LinkState.Problem.clear();
  return Delivery::kDelivered;
}

void EndChannel() {
  if (!TerminationHeld) return;
  TerminationHeld = false;
  api::ReleaseTermination();
}

namespace {

// One listing as ListInterfaces describes it; `lasting` tells a problem that waiting cannot mend.
std::vector<InterfaceListing> ListOnce(std::string* problem, bool* lasting) {
  std::vector<InterfaceListing> listing;
  api::CallResult setResult;
  const api::PlatformHandle set = api::OpenInterfaceSet(&setResult);
  std::string refused;
  std::string unopenable;
  bool used = false;
  for (std::uint32_t index = 0;; ++index) {
    api::CallResult result;
    std::string path;
    const api::MemberStatus status = api::GetInterfacePath(set, index, &path, &result);
    if (status == api::MemberStatus::kEnd) break;
    InterfaceListing& item = listing.emplace_back();
    if (status == api::MemberStatus::kUnusable) {
      item.Problem = result.reason;
      continue;
    }
    // Shown as this system's device directory names it; "" where it has no node there.
    api::CallResult nodeResult;
    std::string node = path;
    const bool located = api::FindDeviceNode(path, &node, &nodeResult);
    if (located) item.Path = node;
    item.AttributesKnown = api::PeekDeviceAttributes(path, &item.Attributes, &result);
    item.SerialKnown = api::PeekSerialNumber(path, &item.Serial, &result);
    item.LengthKnown = api::PeekOutputReportByteLength(path, &item.OutputReportByteLength, &result);
    if (!result.ok) item.Problem = result.reason;
    item.IsDevice = item.AttributesKnown && IsOurDevice(item.Attributes);
    item.Selected = Admitted(path, item.AttributesKnown ? &item.Attributes : nullptr, &refused) &&
                    item.IsDevice;
    if (!item.IsDevice) continue;

    // Whether this user may open it: only an open can tell. Opened, confirmed and closed at once.
    api::CallResult openResult = nodeResult;
    const api::PlatformHandle device =
        located ? api::OpenDevice(node, &openResult) : api::kInvalidHandle;
    if (device == api::kInvalidHandle) {
      item.Problem = openResult.reason;
      const std::string hint = api::AccessDeniedHint();
      if (openResult.accessDenied && !hint.empty()) item.Problem += " (" + hint + ")";
      if (item.Selected && unopenable.empty()) {
        unopenable =
            DeviceName() + " found at " + node + " but it could not be opened: " + item.Problem;
      }
      continue;
    }
    api::DeviceAttributes confirmed;
    item.Openable =
        api::GetDeviceAttributes(device, &confirmed, &openResult) && IsOurDevice(confirmed);
    if (!item.Openable && item.Problem.empty()) item.Problem = openResult.reason;
    api::CloseDevice(device);
    if (item.Selected && item.Openable && !used) {
      item.WouldUse = true;
      used = true;
    }
  }
  api::CloseInterfaceSet(set);

  problem->clear();
  *lasting = true;
  for (const InterfaceListing& item : listing) {
    if (!item.WouldUse) continue;
    if (!item.LengthKnown || item.OutputReportByteLength < kReportLength) {
      *problem = DeviceName() + " at " + item.Path + " has an output report length of " +
                 std::to_string(item.LengthKnown ? item.OutputReportByteLength : 0) +
                 " bytes; at least " + std::to_string(kReportLength) + " are needed";
      if (!item.LengthKnown) *problem += " (" + item.Problem + ")";
    }
    return listing;
  }
  if (!unopenable.empty()) {
    *problem = unopenable;
    *lasting = false;
  } else if (!refused.empty()) {
    *problem = refused;
  } else {
    *problem =
        "no " + SoughtName() + " among " + std::to_string(listing.size()) + " HID interfaces";
    if (!setResult.ok) *problem += " (" + setResult.reason + ")";
    *lasting = false;
  }
  return listing;
}

}  // namespace

std::vector<InterfaceListing> ListInterfaces(std::string* problem) {
  std::vector<InterfaceListing> listing;
  SearchUntilDeadline(
      [&] {
        bool lasting = false;
        listing = ListOnce(problem, &lasting);
        return problem->empty() || lasting;
      },
      problem);
  return listing;
}

void ResetForTesting() {
  LinkState = DeviceLinkState{};
  Selection = DeviceSelection{};
  Waiting = WaitLimit{};
  DeviceUnusable = false;
  TerminationHeld = false;
}

}  // namespace WriteToDeviceMod

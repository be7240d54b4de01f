#include "device/WriteToDeviceMod.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "text/Texts.h"

namespace WriteToDeviceMod {

namespace api = APIdeclarations;
using Texts::IdentityText;

DeviceLinkState LinkState;

namespace {

DeviceSelection Selection;
std::optional<WaitLimit> Waiting;

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

// With --serial, whether the device behind the open handle still has that serial number: the
// node may have passed to another device since it was peeked.
bool HasSelectedSerial(api::PlatformHandle device, const std::string& path) {
  if (!Selection.Serial) return true;
  std::string serial;
  api::CallResult ignored;
  LinkState.LastResult = api::GetSerialNumber(device, path, &serial, &ignored) ? 1 : 0;
  return LinkState.LastResult != 0 && serial == *Selection.Serial;
}

// Milliseconds left until the deadline of Waiting, rounded up; 0 once it has passed.
unsigned MillisecondsLeft() {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(Waiting->Deadline -
                                                                 std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}

// Runs `search` (true when done: found, or failed for good) and, with Waiting, again at each
// change of the HID interfaces until it is done or the deadline passes; a search given up at the
// deadline says so in `problem`. Watching starts before the first search, so that a device
// arriving between a search and the wait after it is not missed.
template <typename Search>
void SearchUntilDeadline(Search search, std::string* problem) {
  if (!Waiting) {
    search();
    return;
  }
  api::WatchInterfaces();
  while (!search()) {
    const unsigned left = MillisecondsLeft();
    if (left == 0) {
      *problem += " (waited " + Texts::SecondsText(Waiting->Milliseconds) + " s)";
      return;
    }
    api::WaitForInterfaceChange(left);
  }
}

// What was looked for, for "no ... among N HID interfaces".
std::string SoughtName() {
  std::string sought = DeviceName();
  if (Selection.DevicePath) sought += " at " + *Selection.DevicePath;
  if (Selection.Serial)
    sought += " with serial " + Texts::EscapedText(*Selection.Serial, Texts::Escaping::kQuoted);
  return sought;
}

// Why the device at `path`, whose output report is `length` bytes long (0 when it cannot be read,
// `why` saying why), cannot take the report; empty when it can.
std::string LengthProblem(const std::string& path, std::uint16_t length, const std::string& why) {
  if (length >= kReportLength) return {};
  std::string problem = DeviceName() + " at " + path + " has an output report length of " +
                        std::to_string(length) + " bytes; at least " +
                        std::to_string(kReportLength) + " are needed";
  if (!why.empty()) problem += " (" + why + ")";
  return problem;
}

// What a walk remembers to explain, once it has ended, why it found no usable device.
struct Misses {
  std::string unopenable;  // the first selected device that could not be opened
  std::string refused;     // the interface --device names, when it is another device
};

// Learns what `item` says of the member at `path`, and opens it if it is a device (for a search,
// only one that Selection admits): only a device is opened, since opening a HID interface powers
// it up in its driver, and a keyboard or a game pad has no business being woken by a channel
// changer. Returns the handle when the device behind it is confirmed as 6666:f100, else
// kInvalidHandle with nothing left open. A listing learns everything it shows of every member.
api::PlatformHandle Examine(const std::string& path, bool listing, InterfaceListing* item,
                            Misses* misses) {
  api::CallResult result;
  item->AttributesKnown = api::PeekDeviceAttributes(path, &item->Attributes, &result);
  LinkState.LastResult = item->AttributesKnown ? 1 : 0;
  item->IsDevice = item->AttributesKnown && IsOurDevice(item->Attributes);
  const bool named = !Selection.DevicePath || api::IsSameInterface(*Selection.DevicePath, path);
  if (Selection.DevicePath && named && item->AttributesKnown && !item->IsDevice) {
    misses->refused = *Selection.DevicePath + " is " +
                      IdentityText(item->Attributes.VendorID, item->Attributes.ProductID) +
                      ", not " + IdentityText(kVendorID, kProductID);
  }
  // A search asks only a device for its serial number: nothing else is touched more than needed.
  if (listing || (Selection.Serial && named && item->IsDevice)) {
    item->SerialKnown = api::PeekSerialNumber(path, &item->Serial, &result);
  }
  if (listing) {
    item->LengthKnown =
        api::PeekOutputReportByteLength(path, &item->OutputReportByteLength, &result);
  }
  if (!result.ok) item->Problem = result.reason;
  item->Selected = item->IsDevice && named &&
                   (!Selection.Serial || (item->SerialKnown && item->Serial == *Selection.Serial));

  // Opened, and named from here on, as this system's device directory names it.
  std::string node = path;
  api::CallResult openResult;
  const bool located = (listing || item->Selected) && api::FindDeviceNode(path, &node, &openResult);
  if (located) item->Path = node;
  if (!item->IsDevice || (!listing && !item->Selected)) return api::kInvalidHandle;
  const api::PlatformHandle device =
      located ? api::OpenDevice(node, &openResult) : api::kInvalidHandle;
  LinkState.LastResult = device != api::kInvalidHandle ? 1 : 0;
  if (device == api::kInvalidHandle) {
    item->Problem = openResult.reason;
    const std::string hint = api::AccessDeniedHint();
    if (openResult.accessDenied && !hint.empty()) item->Problem += " (" + hint + ")";
    if (item->Selected && misses->unopenable.empty()) {
      misses->unopenable =
          DeviceName() + " found at " + node + " but it could not be opened: " + item->Problem;
    }
    return api::kInvalidHandle;
  }
  // The path may have passed to another device since it was peeked: what counts is the identity
  // of the device behind the handle, which is the one the reports would reach.
  api::DeviceAttributes confirmed;
  item->Openable =
      api::GetDeviceAttributes(device, node, &confirmed, &openResult) && IsOurDevice(confirmed);
  LinkState.LastResult = item->Openable ? 1 : 0;
  if (item->Openable) return device;
  if (item->Problem.empty()) item->Problem = openResult.reason;
  api::CloseDevice(device);
  return api::kInvalidHandle;
}

// Walks the present HID interfaces in search order. A search (`listing` null) stops at the first
// usable selected device and keeps it open in LinkState; a listing describes every member in
// `listing` and closes each device again. True when a usable selected device was found; else
// `problem` says why not in the words of a failed run, and `lasting` whether waiting cannot mend
// it.
bool Walk(std::vector<InterfaceListing>* listing, std::string* problem, bool* lasting) {
  LinkState.EnumerationDone = false;
  LinkState.InterfacesExamined = 0;
  api::CallResult listResult;
  LinkState.DeviceInfoSet = api::EnumerateInterfaces(&listResult);
  LinkState.LastResult = listResult.ok ? 1 : 0;
  Misses misses;
  bool found = false;
  for (const api::InterfaceMember& member : LinkState.DeviceInfoSet) {
    if (found && listing == nullptr) break;
    ++LinkState.InterfacesExamined;
    InterfaceListing scratch;
    InterfaceListing& item = listing != nullptr ? listing->emplace_back() : scratch;
    if (member.Path.empty()) {
      item.Problem = member.Problem;
      continue;
    }
    const api::PlatformHandle device = Examine(member.Path, listing != nullptr, &item, &misses);
    if (device == api::kInvalidHandle) continue;
    if (!found && item.Selected && HasSelectedSerial(device, item.Path)) {
      item.WouldUse = found = true;
      if (listing == nullptr) {
        LinkState.HIDHandle = device;
        LinkState.DevicePath = item.Path;
        LinkState.Attributes = {kVendorID, kProductID};  // as the handle confirmed
        continue;
      }
    }
    api::CloseDevice(device);
  }
  LinkState.EnumerationDone = !found || listing != nullptr;  // the walk passed the last member
  LinkState.DeviceInfoSet.clear();

  problem->clear();
  *lasting = false;
  if (found) return true;
  if (!misses.unopenable.empty()) {
    *problem = misses.unopenable;
  } else if (!misses.refused.empty()) {
    *problem = misses.refused;
    *lasting = true;
  } else {
    *problem = "no " + SoughtName() + " among " + std::to_string(LinkState.InterfacesExamined) +
               " HID interfaces";
    if (!listResult.ok) *problem += " (" + listResult.reason + ")";
  }
  return false;
}

// One listing as ListInterfaces describes it; `lasting` tells a problem that waiting cannot mend.
std::vector<InterfaceListing> ListOnce(std::string* problem, bool* lasting) {
  std::vector<InterfaceListing> listing;
  if (!Walk(&listing, problem, lasting)) return listing;
  // The length a run would read of the handle, peeked: the listing locks nothing.
  for (const InterfaceListing& item : listing) {
    if (!item.WouldUse) continue;
    *problem = LengthProblem(item.Path, item.LengthKnown ? item.OutputReportByteLength : 0,
                             item.LengthKnown ? "" : item.Problem);
    *lasting = true;
  }
  return listing;
}

}  // namespace

bool LocateDevice() {
  LinkState.DeviceDetected = Walk(nullptr, &LinkState.Problem, &LinkState.ProblemIsLasting);
  if (!LinkState.DeviceDetected) return false;

  // Held until the process ends, so that two runs never interleave their digits. A run that waits
  // for the device waits for another run's lock as long, and no longer.
  api::CallResult lockResult;
  const unsigned lockTimeout = Waiting ? MillisecondsLeft() : kLockTimeoutMilliseconds;
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
  const bool read =
      api::GetOutputReportByteLength(LinkState.HIDHandle, LinkState.DevicePath, &length, &result);
  LinkState.LastResult = read ? 1 : 0;
  // An unreadable length counts as no output report at all: nothing can be sent to it.
  LinkState.OutputReportByteLength = read ? length : 0;
  if (!read) LinkState.Problem = result.reason;
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
    LinkState.Problem = LengthProblem(LinkState.DevicePath, length, LinkState.Problem);
    return Delivery::kDeviceUnusable;
  }

  std::vector<std::uint8_t> report(length, 0);
  report[0] = kReportID;
  std::copy(request.begin(), request.end(), report.begin() + 1);

  if (!std::exchange(TerminationHeld, true)) api::HoldTermination();
  api::CallResult result;
  const bool written = api::WriteReport(LinkState.HIDHandle, LinkState.DevicePath, report.data(),
                                        report.size(), &result);
  LinkState.LastResult = written ? 1 : 0;
  if (!written) {
    LinkState.Problem = result.reason;
    return Delivery::kNotDelivered;
  }
  LinkState.Problem.clear();
  return Delivery::kDelivered;
}

void EndChannel() {
  if (std::exchange(TerminationHeld, false)) api::ReleaseTermination();
}

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

void Choose(const DeviceSelection& selection, const std::optional<WaitLimit>& waiting) {
  Selection = selection;
  Waiting = waiting;
}

const std::string& LatestProblem() { return LinkState.Problem; }

const std::string& DeviceInUse() { return LinkState.DevicePath; }

void ResetForTesting() {
  LinkState = DeviceLinkState{};
  Selection = DeviceSelection{};
  Waiting.reset();
  DeviceUnusable = false;
  TerminationHeld = false;
}

}  // namespace WriteToDeviceMod

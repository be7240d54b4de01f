#include "device/WriteToDeviceMod.h"

#include <algorithm>
#include <vector>

namespace WriteToDeviceMod {

namespace api = APIdeclarations;

DeviceLinkState LinkState;

namespace {

// Byte 0 of every report: the device uses no report ids.
constexpr std::uint8_t kReportID = 0x00;
constexpr std::size_t kReportLength = 1 + std::tuple_size_v<ReportRequest>;

// Set when the device was found but can never be used in this run (held by another run).
bool DeviceUnusable = false;

bool IsOurDevice(const api::DeviceAttributes& attributes) {
  return attributes.VendorID == kVendorID && attributes.ProductID == kProductID;
}

std::string DeviceName() { return "device 6666:f100"; }

}  // namespace

bool LocateDevice() {
  LinkState.EnumerationDone = false;
  LinkState.DeviceDetected = false;
  LinkState.InterfacesExamined = 0;
  LinkState.Problem.clear();
  LinkState.ProblemIsAccess = false;

  api::CallResult setResult;
  LinkState.DeviceInfoSet = api::OpenInterfaceSet(&setResult);
  LinkState.LastResult = setResult.ok ? 1 : 0;

  // A matching device we could not open, remembered to explain a failed search.
  std::string unopenable;
  bool unopenableForAccess = false;

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
    if (LinkState.LastResult == 0 || !IsOurDevice(peeked)) continue;

    LinkState.DevicePath = path;
    LinkState.HIDHandle = api::OpenDevice(path, &result);
    LinkState.LastResult = LinkState.HIDHandle != api::kInvalidHandle ? 1 : 0;
    if (LinkState.HIDHandle == api::kInvalidHandle) {
      if (unopenable.empty()) {
        unopenable =
            DeviceName() + " found at " + path + " but it could not be opened: " + result.reason;
        unopenableForAccess = result.accessDenied;
      }
      continue;
    }

    // The path may have passed to another device since it was peeked: what counts is the
    // identity of the device behind the handle, which is the one the reports will reach.
    LinkState.Attributes = {};
    LinkState.LastResult =
        api::GetDeviceAttributes(LinkState.HIDHandle, &LinkState.Attributes, &result) ? 1 : 0;
    if (LinkState.LastResult != 0 && IsOurDevice(LinkState.Attributes)) {
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
    } else {
      LinkState.Problem = "no " + DeviceName() + " among " +
                          std::to_string(LinkState.InterfacesExamined) + " HID interfaces";
      if (!setResult.ok) LinkState.Problem += " (" + setResult.reason + ")";
    }
    LinkState.ProblemIsAccess = unopenableForAccess;
    return false;
  }

  // Held until the process ends, so that two runs never interleave their digits.
  api::CallResult lockResult;
  if (!api::LockDevice(LinkState.HIDHandle, LinkState.DevicePath, kLockTimeoutMilliseconds,
                       &lockResult)) {
    LinkState.LastResult = 0;
    LinkState.Problem = DeviceName() + " at " + LinkState.DevicePath +
                        " is in use by another run: " + lockResult.reason;
    api::CloseDevice(LinkState.HIDHandle);
    LinkState.HIDHandle = api::kInvalidHandle;
    LinkState.DeviceDetected = false;
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
  if (!LinkState.DeviceDetected) LinkState.DeviceDetected = LocateDevice();
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

void ResetForTesting() {
  LinkState = DeviceLinkState{};
  DeviceUnusable = false;
}

}  // namespace WriteToDeviceMod

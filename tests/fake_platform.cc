#include "fake_platform.h"

#include <algorithm>

namespace api = APIdeclarations;

namespace FakePlatform {

State Fake;

namespace {

constexpr api::PlatformHandle kStandardOutput = 1;
constexpr api::PlatformHandle kStandardError = 2;
constexpr api::PlatformHandle kFirstDevice = 100;  // device handle = kFirstDevice + index

std::vector<bool> HandleOpen;  // per interface
std::vector<int> WritesDone;   // per interface

std::size_t IndexOf(api::PlatformHandle handle) {
  return static_cast<std::size_t>(handle - kFirstDevice);
}

// The interface open as `handle`, or null.
FakeInterface* Open(api::PlatformHandle handle) {
  const std::size_t index = IndexOf(handle);
  const bool open = handle >= kFirstDevice && index < Fake.interfaces.size() && HandleOpen[index];
  return open ? &Fake.interfaces[index] : nullptr;
}

// The interface open as `handle`, when `path` is the one it was opened with.
FakeInterface* Lookup(api::PlatformHandle handle, const std::string& path) {
  FakeInterface* fake = Open(handle);
  return fake != nullptr && fake->path == path ? fake : nullptr;
}

const FakeInterface* AtPath(const std::string& path) {
  const auto found = std::ranges::find(Fake.interfaces, path, &FakeInterface::path);
  return found != Fake.interfaces.end() ? &*found : nullptr;
}

bool Fail(api::CallResult* result, std::string reason, bool accessDenied = false) {
  result->ok = false;
  result->accessDenied = accessDenied;
  result->reason = std::move(reason);
  return false;
}

}  // namespace

void Reset(std::vector<FakeInterface> interfaces) {
  Fake = State{};
  Fake.interfaces = std::move(interfaces);
  HandleOpen.assign(Fake.interfaces.size(), false);
  WritesDone.assign(Fake.interfaces.size(), 0);
}

void Plug(FakeInterface interface) {
  Fake.interfaces.push_back(std::move(interface));
  HandleOpen.push_back(false);
  WritesDone.push_back(0);
}

}  // namespace FakePlatform

using FakePlatform::AtPath;
using FakePlatform::Fail;
using FakePlatform::Fake;
using FakePlatform::Lookup;

namespace APIdeclarations {

ArgumentWords GetArgumentWords(int argc, char** argv) {
  ArgumentWords words;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) words.Text += ' ';
    words.Starts.push_back(words.Text.size());
    words.Words.emplace_back(argv[i]);
    words.Text += argv[i];
  }
  return words;
}

std::string_view NativeLineEnd() { return "\n"; }

bool SecureStandardStreams() { return true; }

PlatformHandle GetStandardOutput() { return FakePlatform::kStandardOutput; }
PlatformHandle GetStandardError() { return FakePlatform::kStandardError; }

bool WriteAllBytes(PlatformHandle stream, std::string_view bytes) {
  if (stream == FakePlatform::kStandardOutput && !Fake.standardOutputBroken) {
    Fake.standardOutput += bytes;
    return true;
  }
  if (stream == FakePlatform::kStandardError) {
    Fake.standardError += bytes;
    Fake.steps += 'E';
    return true;
  }
  return false;
}

bool StandardErrorDiscarded() { return false; }

bool WriteSystemLog(LogLevel level, std::string_view line) {
  Fake.logged.push_back((level == LogLevel::kError ? "error: " : "info: ") + std::string(line));
  Fake.steps += 'G';
  return true;
}

std::vector<InterfaceMember> EnumerateInterfaces(CallResult* result) {
  Fake.steps += 'S';
  if (Fake.enumerationFails) {
    Fail(result, "enumerate 'hid': fake failure");
    return {};
  }
  std::vector<InterfaceMember> members;
  for (const auto& fake : Fake.interfaces) {
    if (fake.arrivesAtWait > Fake.waits) break;
    members.push_back(fake.unusableMember ? InterfaceMember{{}, "detail 'member': fake failure"}
                                          : InterfaceMember{fake.path, {}});
  }
  return members;
}

bool FindDeviceNode(const std::string& member, std::string* node, CallResult* /*result*/) {
  *node = member;
  return true;
}

PlatformHandle OpenDevice(const std::string& path, CallResult* result) {
  Fake.opened.push_back(path);
  const FakePlatform::FakeInterface* fake = AtPath(path);
  if (fake == nullptr) {
    Fail(result, "open '" + path + "': No such file or directory");
    return kInvalidHandle;
  }
  if (fake->openFails) {
    Fail(
        result,
        "open '" + path + "': " + (fake->accessDenied ? "Permission denied" : "Input/output error"),
        fake->accessDenied);
    return kInvalidHandle;
  }
  const auto index = static_cast<std::size_t>(fake - Fake.interfaces.data());
  if (!FakePlatform::HandleOpen[index]) ++Fake.openHandles;
  FakePlatform::HandleOpen[index] = true;
  return FakePlatform::kFirstDevice + static_cast<PlatformHandle>(index);
}

bool GetDeviceAttributes(PlatformHandle device, const std::string& path,
                         DeviceAttributes* attributes, CallResult* result) {
  const FakePlatform::FakeInterface* fake = Lookup(device, path);
  if (fake == nullptr) return Fail(result, "attributes: bad handle");
  if (fake->attributesFail) return Fail(result, "attributes: fake failure");
  *attributes = fake->attributesWhenOpen.value_or(fake->attributes);
  return true;
}

bool PeekDeviceAttributes(const std::string& path, DeviceAttributes* attributes,
                          CallResult* result) {
  Fake.peeked.push_back(path);
  const FakePlatform::FakeInterface* fake = AtPath(path);
  if (fake == nullptr || fake->peekFails) {
    return Fail(result, "peek '" + path + "': " + (fake ? "fake failure" : "not found"));
  }
  *attributes = fake->attributes;
  return true;
}

bool PeekSerialNumber(const std::string& path, std::string* serial, CallResult* result) {
  const FakePlatform::FakeInterface* fake = AtPath(path);
  if (fake == nullptr) return Fail(result, "peek '" + path + "': not found");
  *serial = fake->serial;
  return true;
}

bool GetSerialNumber(PlatformHandle device, const std::string& path, std::string* serial,
                     CallResult* result) {
  const FakePlatform::FakeInterface* fake = Lookup(device, path);
  if (fake == nullptr) return Fail(result, "serial: bad handle");
  *serial = fake->swappedSerial.empty() ? fake->serial : fake->swappedSerial;
  return true;
}

bool PeekOutputReportByteLength(const std::string& path, std::uint16_t* length,
                                CallResult* result) {
  const FakePlatform::FakeInterface* fake = AtPath(path);
  if (fake == nullptr || fake->lengthFails) {
    return Fail(result, "peek '" + path + "/report_descriptor': fake failure");
  }
  *length = fake->outputReportByteLength;
  return true;
}

bool IsSameInterface(const std::string& given, const std::string& member) {
  const FakePlatform::FakeInterface* fake = AtPath(member);
  return given == member || (fake != nullptr && !fake->alias.empty() && fake->alias == given);
}

bool GetOutputReportByteLength(PlatformHandle device, const std::string& path,
                               std::uint16_t* length, CallResult* result) {
  const FakePlatform::FakeInterface* fake = Lookup(device, path);
  if (fake == nullptr) return Fail(result, "caps: bad handle");
  if (fake->lengthFails) return Fail(result, "read '" + path + "/report_descriptor': fake failure");
  *length = fake->outputReportByteLength;
  return true;
}

bool LockDevice(PlatformHandle device, const std::string& path, unsigned ms, CallResult* result) {
  Fake.lockTimeout = ms;
  const FakePlatform::FakeInterface* fake = Lookup(device, path);
  if (fake == nullptr) return Fail(result, "lock: bad handle");
  if (fake->lockFails)
    return Fail(result, "lock '" + path + "': held " + std::to_string(ms) + " ms");
  ++Fake.locks;
  Fake.steps += 'L';
  return true;
}

bool WriteReport(PlatformHandle device, const std::string& path, const std::uint8_t* report,
                 std::size_t size, CallResult* result) {
  Fake.steps += 'w';
  const FakePlatform::FakeInterface* fake = Lookup(device, path);
  if (fake == nullptr) return Fail(result, "write: bad handle");
  int& done = FakePlatform::WritesDone[FakePlatform::IndexOf(device)];
  if ((fake->writesBeforeFailure >= 0 && done >= fake->writesBeforeFailure) ||
      ++done == fake->failingWrite) {
    return Fail(result, "write '" + path + "': No such device");
  }
  const std::size_t accepted =
      size - std::min(size, static_cast<std::size_t>(std::max(fake->shortWriteBy, 0)));
  Fake.writes.push_back({path, std::vector<std::uint8_t>(report, report + accepted)});
  if (accepted == size) return true;
  return Fail(result, "write '" + path + "': only " + std::to_string(accepted) + " of " +
                          std::to_string(size) + " bytes written");
}

void Pause(unsigned) { Fake.steps += 'P'; }

void WatchInterfaces() { Fake.watching = Fake.steps.find('S') == std::string::npos; }

void WaitForInterfaceChange(unsigned) {
  Fake.waits += Fake.watching ? 1 : 0;
  Fake.steps += 'W';
}

void HoldTermination() { Fake.steps += 'H'; }

void ReleaseTermination() { Fake.steps += 'R'; }

void CloseDevice(PlatformHandle device) {
  if (FakePlatform::Open(device) == nullptr) {
    ++Fake.badCloses;
    return;
  }
  FakePlatform::HandleOpen[FakePlatform::IndexOf(device)] = false;
  --Fake.openHandles;
}

std::string AccessDeniedHint() { return "install the udev rule 70-tunezap.rules"; }

}  // namespace APIdeclarations

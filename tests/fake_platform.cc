#include "fake_platform.h"

#include <algorithm>

namespace api = APIdeclarations;

namespace FakePlatform {

State Fake;

namespace {

constexpr api::PlatformHandle kStandardOutput = 1;
constexpr api::PlatformHandle kStandardError = 2;
constexpr api::PlatformHandle kSet = 50;
constexpr api::PlatformHandle kFirstDevice = 100;  // device handle = kFirstDevice + index

std::vector<bool> HandleOpen;  // per interface
std::vector<int> WritesDone;   // per interface

FakeInterface* Lookup(api::PlatformHandle handle) {
  const auto index = static_cast<std::size_t>(handle - kFirstDevice);
  if (handle < kFirstDevice || index >= Fake.interfaces.size() || !HandleOpen[index]) {
    return nullptr;
  }
  return &Fake.interfaces[index];
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

FakeInterface Interface(std::string path, std::uint16_t vendor, std::uint16_t product,
                        std::uint16_t outputReportByteLength) {
  FakeInterface fake;
  fake.path = std::move(path);
  fake.attributes.VendorID = vendor;
  fake.attributes.ProductID = product;
  fake.outputReportByteLength = outputReportByteLength;
  return fake;
}

}  // namespace FakePlatform

using FakePlatform::Fake;

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

PlatformHandle OpenInterfaceSet(CallResult* result) {
  ++Fake.openSets;
  ++Fake.setsMade;
  Fake.steps += 'S';
  if (Fake.setFails) FakePlatform::Fail(result, "enumerate 'hid': fake failure");
  return FakePlatform::kSet;
}

MemberStatus GetInterfacePath(PlatformHandle set, std::uint32_t index, std::string* path,
                              CallResult* result) {
  if (set != FakePlatform::kSet || Fake.setFails || index >= Fake.interfaces.size() ||
      Fake.interfaces[index].arrivesAtWait > Fake.waits) {
    return MemberStatus::kEnd;
  }
  const FakePlatform::FakeInterface& fake = Fake.interfaces[index];
  if (fake.unusableMember) {
    FakePlatform::Fail(result, "detail 'member': fake failure");
    return MemberStatus::kUnusable;
  }
  *path = fake.path;
  return MemberStatus::kPresent;
}

void CloseInterfaceSet(PlatformHandle set) {
  if (set == FakePlatform::kSet && Fake.openSets > 0) {
    --Fake.openSets;
  } else {
    ++Fake.badCloses;
  }
}

bool FindDeviceNode(const std::string& member, std::string* node, CallResult* /*result*/) {
  *node = member;
  return true;
}

PlatformHandle OpenDevice(const std::string& path, CallResult* result) {
  Fake.opened.push_back(path);
  const auto found = std::find_if(Fake.interfaces.begin(), Fake.interfaces.end(),
                                  [&](const auto& fake) { return fake.path == path; });
  if (found == Fake.interfaces.end()) {
    FakePlatform::Fail(result, "open '" + path + "': No such file or directory");
    return kInvalidHandle;
  }
  if (found->openFails) {
    FakePlatform::Fail(result,
                       "open '" + path + "': " +
                           (found->accessDenied ? "Permission denied" : "Input/output error"),
                       found->accessDenied);
    return kInvalidHandle;
  }
  const auto index = static_cast<std::size_t>(found - Fake.interfaces.begin());
  if (!FakePlatform::HandleOpen[index]) ++Fake.openHandles;
  FakePlatform::HandleOpen[index] = true;
  return FakePlatform::kFirstDevice + static_cast<PlatformHandle>(index);
}

bool GetDeviceAttributes(PlatformHandle device, DeviceAttributes* attributes, CallResult* result) {
  const FakePlatform::FakeInterface* fake = FakePlatform::Lookup(device);
  if (fake == nullptr) return FakePlatform::Fail(result, "attributes: bad handle");
  if (fake->attributesFail) return FakePlatform::Fail(result, "attributes: fake failure");
  *attributes = fake->attributesWhenOpen.value_or(fake->attributes);
  return true;
}

bool PeekDeviceAttributes(const std::string& path, DeviceAttributes* attributes,
                          CallResult* result) {
  Fake.peeked.push_back(path);
  for (const auto& fake : Fake.interfaces) {
    if (fake.path == path && fake.peekFails) {
      return FakePlatform::Fail(result, "peek '" + path + "': fake failure");
    }
    if (fake.path == path) {
      *attributes = fake.attributes;
      return true;
    }
  }
  return FakePlatform::Fail(result, "peek '" + path + "': not found");
}

bool PeekSerialNumber(const std::string& path, std::string* serial, CallResult* result) {
  for (const auto& fake : Fake.interfaces) {
    if (fake.path == path) {
      *serial = fake.serial;
      return true;
    }
  }
  return FakePlatform::Fail(result, "peek '" + path + "': not found");
}

bool GetSerialNumber(PlatformHandle device, std::string* serial, CallResult* result) {
  const FakePlatform::FakeInterface* fake = FakePlatform::Lookup(device);
  if (fake == nullptr) return FakePlatform::Fail(result, "serial: bad handle");
  *serial = fake->swappedSerial.empty() ? fake->serial : fake->swappedSerial;
  return true;
}

bool PeekOutputReportByteLength(const std::string& path, std::uint16_t* length,
                                CallResult* result) {
  for (const auto& fake : Fake.interfaces) {
    if (fake.path == path && !fake.lengthFails) {
      *length = fake.outputReportByteLength;
      return true;
    }
  }
  return FakePlatform::Fail(result, "peek '" + path + "/report_descriptor': fake failure");
}

bool IsSameInterface(const std::string& given, const std::string& member) {
  if (given == member) return true;
  return std::any_of(Fake.interfaces.begin(), Fake.interfaces.end(), [&](const auto& fake) {
    return fake.path == member && !fake.alias.empty() && fake.alias == given;
  });
}

bool GetOutputReportByteLength(PlatformHandle device, std::uint16_t* length, CallResult* result) {
  const FakePlatform::FakeInterface* fake = FakePlatform::Lookup(device);
  if (fake == nullptr) return FakePlatform::Fail(result, "caps: bad handle");
  if (fake->lengthFails) {
    return FakePlatform::Fail(result, "read '" + fake->path + "/report_descriptor': fake failure");
  }
  *length = fake->outputReportByteLength;
  return true;
}

bool LockDevice(PlatformHandle device, const std::string& path, unsigned ms, CallResult* result) {
  Fake.lockTimeout = ms;
  const FakePlatform::FakeInterface* fake = FakePlatform::Lookup(device);
  if (fake == nullptr) return FakePlatform::Fail(result, "lock: bad handle");
  if (fake->lockFails) {
    return FakePlatform::Fail(result, "lock '" + path + "': held " + std::to_string(ms) + " ms");
  }
  ++Fake.locks;
  Fake.steps += 'L';
  return true;
}

bool WriteReport(PlatformHandle device, const std::uint8_t* report, std::size_t size,
                 CallResult* result) {
  Fake.steps += 'w';
  const FakePlatform::FakeInterface* fake = FakePlatform::Lookup(device);
  if (fake == nullptr) return FakePlatform::Fail(result, "write: bad handle");
  const auto index = static_cast<std::size_t>(device - FakePlatform::kFirstDevice);
  if (fake->writesBeforeFailure >= 0 &&
      FakePlatform::WritesDone[index] >= fake->writesBeforeFailure) {
    return FakePlatform::Fail(result, "write '" + fake->path + "': No such device");
  }
  if (++FakePlatform::WritesDone[index] == fake->failingWrite) {
    return FakePlatform::Fail(result, "write '" + fake->path + "': No such device");
  }
  const std::size_t accepted =
      size - std::min(size, static_cast<std::size_t>(std::max(fake->shortWriteBy, 0)));
  Fake.writes.push_back({fake->path, std::vector<std::uint8_t>(report, report + accepted)});
  if (accepted != size) {
    return FakePlatform::Fail(result, "write '" + fake->path + "': only " +
                                          std::to_string(accepted) + " of " + std::to_string(size) +
                                          " bytes written");
  }
  return true;
}

void Pause(unsigned) { Fake.steps += 'P'; }

void WatchInterfaces() { Fake.watching = Fake.setsMade == 0; }

void WaitForInterfaceChange(unsigned) {
  Fake.waits += Fake.watching ? 1 : 0;
  Fake.steps += 'W';
}

void HoldTermination() { Fake.steps += 'H'; }

void ReleaseTermination() { Fake.steps += 'R'; }

void CloseDevice(PlatformHandle device) {
  if (FakePlatform::Lookup(device) == nullptr) {
    ++Fake.badCloses;
    return;
  }
  FakePlatform::HandleOpen[static_cast<std::size_t>(device - FakePlatform::kFirstDevice)] = false;
  --Fake.openHandles;
}

std::string AccessDeniedHint() { return "install the udev rule 70-tunezap.rules"; }

}  // namespace APIdeclarations

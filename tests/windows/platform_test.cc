// The Windows platform layer against the real system (run under wine): error texts, the device
// lock between processes, and a walk over whatever HID interfaces are present.
//   platform_test.exe                      runs the checks, ends with "N passed, N failed"
//   platform_test.exe --lock PATH MS       helper: exit 0 if the lock was had within MS
//   platform_test.exe --lock-and-exit PATH MS  helper: takes the lock, ends MS later holding it
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/APIdeclarations.h"

namespace api = APIdeclarations;

namespace {

// Set by the lock helper once it holds its lock.
constexpr const char* kHelperReady = "Local\\tunezap-platform-test-ready";

int Passed = 0;
int Failed = 0;

void Check(bool ok, const std::string& name, const std::string& detail = "") {
  if (ok) {
    ++Passed;
    std::printf("ok - %s\n", name.c_str());
  } else {
    ++Failed;
    std::printf("FAIL - %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A reason as Windows words it: prefix, some text, and no trailing period or line break.
bool WellFormed(const std::string& reason, const std::string& prefix) {
  return StartsWith(reason, prefix) && reason.size() > prefix.size() && reason.back() != '.' &&
         reason.back() != '\n' && reason.back() != '\r';
}

// Starts this program again with `arguments`; returns the process handle, or null.
HANDLE StartSelf(const std::string& arguments) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line = std::string("\"") + self + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Waits for a process from StartSelf and returns its exit status.
DWORD Finish(HANDLE process) {
  if (process == nullptr) return 255;
  WaitForSingleObject(process, INFINITE);
  DWORD status = 255;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  return status;
}

DWORD RunSelf(const std::string& arguments) { return Finish(StartSelf(arguments)); }

void CheckErrors() {
  const std::string missing = "\\\\?\\hid#no-such-device#0";
  api::CallResult result;
  const api::PlatformHandle device = api::OpenDevice(missing, &result);
  Check(device == api::kInvalidHandle && !result.ok && !result.accessDenied &&
            WellFormed(result.reason, "CreateFileA '" + missing + "': "),
        "opening a missing device names the call, the path and Windows' text: " + result.reason);

  api::CallResult peek;
  api::DeviceAttributes attributes;
  const bool peeked = api::PeekDeviceAttributes(missing, &attributes, &peek);
  Check(!peeked && WellFormed(peek.reason, "CreateFileA '" + missing + "': "),
        "peeking at a missing device fails with a reason", peek.reason);

  std::string path = "unchanged";
  api::CallResult walk;
  Check(api::GetInterfacePath(api::kInvalidHandle, 0, &path, &walk) == api::MemberStatus::kEnd &&
            path == "unchanged" && walk.ok,
        "a set that could not be made walks as empty");

  Check(!api::WriteAllBytes(api::kInvalidHandle, "x"), "writing to no stream fails");
  Check(api::WriteAllBytes(api::GetStandardOutput(), ""), "writing nothing succeeds");
}

void CheckLock() {
  const std::string path = "\\\\?\\HID#Lock-Test#1";
  api::CallResult first;
  const bool locked = api::LockDevice(api::kInvalidHandle, path, 0, &first);
  Check(locked, "a free lock is taken at once", first.reason);
  api::CallResult again;
  const bool relocked = api::LockDevice(api::kInvalidHandle, path, 0, &again);
  Check(relocked, "the holder may take its own lock again", again.reason);
  // Device paths are compared without regard to case, and so are the locks named after them.
  Check(RunSelf("--lock \\\\?\\hid#lock-test#1 200") == 1,
        "another process waits for a held lock and gives up after the timeout");
  Check(RunSelf("--lock \\\\?\\hid#lock-test#2 200") == 0, "another device's lock is not affected");

  // A helper takes the lock and ends 300 ms later without releasing it, while this process
  // waits: the wait ends with the lock abandoned to this process.
  const std::string abandoned = "\\\\?\\hid#lock-test#3";
  const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kHelperReady);
  const HANDLE helper = StartSelf("--lock-and-exit " + abandoned + " 300");
  Check(WaitForSingleObject(ready, 10000) == WAIT_OBJECT_0, "the helper holds the lock");
  CloseHandle(ready);
  api::CallResult taken;
  const bool takenOver = api::LockDevice(api::kInvalidHandle, abandoned, 5000, &taken);
  Check(Finish(helper) == 0, "a helper takes a lock and ends without releasing it");
  Check(takenOver, "a lock left by a process that ended is taken over", taken.reason);
}

void CheckPresentInterfaces() {
  api::CallResult setResult;
  const api::PlatformHandle set = api::OpenInterfaceSet(&setResult);
  Check(setResult.ok, "the set of present HID interfaces is made", setResult.reason);
  std::uint32_t index = 0;
  for (;; ++index) {
    std::string path;
    api::CallResult result;
    const api::MemberStatus status = api::GetInterfacePath(set, index, &path, &result);
    if (status == api::MemberStatus::kEnd) {
      Check(result.ok, "the walk ends without an error", result.reason);
      break;
    }
    const std::string name = "interface " + std::to_string(index) + " (" + path + ")";
    Check(status == api::MemberStatus::kPresent && StartsWith(path, "\\\\?\\"),
          name + " has a device path", result.reason);
    const api::PlatformHandle device = api::OpenDevice(path, &result);
    Check(device != api::kInvalidHandle, name + " opens for reading and writing", result.reason);
    if (device == api::kInvalidHandle) continue;

    api::DeviceAttributes opened;
    api::DeviceAttributes peeked;
    api::CallResult peekResult;
    const bool read = api::GetDeviceAttributes(device, &opened, &result);
    const bool peek = api::PeekDeviceAttributes(path, &peeked, &peekResult);
    Check(read && peek && opened.VendorID != 0 && opened.VendorID == peeked.VendorID &&
              opened.ProductID == peeked.ProductID,
          name + " has the same identity opened and peeked at", result.reason + peekResult.reason);

    std::uint16_t length = 0xFFFF;
    const bool measured = api::GetOutputReportByteLength(device, &length, &result);
    Check(measured && length != 0xFFFF,
          name + " has an output report length (" + std::to_string(length) + ")", result.reason);
    if (length == 0) {
      // Nothing may be written where there is no output report; the failure names the device.
      const std::uint8_t report[9] = {0x00, 0x30, 5, 1, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A};
      api::CallResult write;
      const bool written = api::WriteReport(device, report, sizeof report, &write);
      Check(!written && WellFormed(write.reason, "WriteFile '" + path + "': "),
            name + " refuses a report it has no room for: " + write.reason);
    }
    api::CloseDevice(device);
  }
  api::CloseInterfaceSet(set);
  Check(index > 0, "at least one HID interface is present (wine has its own)");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--lock") {
    api::CallResult result;
    const bool locked = api::LockDevice(api::kInvalidHandle, argv[2],
                                        static_cast<unsigned>(std::atoi(argv[3])), &result);
    if (!locked && !StartsWith(result.reason, "WaitForSingleObject 'Global\\tunezap-")) return 2;
    return locked ? 0 : 1;
  }
  if (argc == 4 && std::string(argv[1]) == "--lock-and-exit") {
    api::CallResult result;
    if (!api::LockDevice(api::kInvalidHandle, argv[2], 0, &result)) return 1;
    const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kHelperReady);
    if (ready == nullptr || !SetEvent(ready)) return 1;
    Sleep(static_cast<DWORD>(std::atoi(argv[3])));
    return 0;
  }
  CheckErrors();
  CheckLock();
  CheckPresentInterfaces();
  std::printf("%d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? 0 : 1;
}

// The Windows platform layer against the real system (run under wine): error texts, the device
// lock between processes, a walk over whatever HID interfaces are present, a write never taken,
// and Ctrl+C in and out of a termination hold.
//   platform_test.exe                      runs the checks, ends with "N passed, N failed"
//   platform_test.exe --lock PATH MS       helper: exit 0 if the lock was had within MS
//   platform_test.exe --lock-and-exit PATH MS  helper: takes the lock, ends MS later holding it
//   platform_test.exe --stale-stderr       helper: exit 0 if a stale standard error is dropped
//   platform_test.exe --interrupt HOLD SEND  helper: Ctrl+C to itself (SEND 1) in a hold or after
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <process.h>
#include <sddl.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "../test_data.h"
#include "platform/APIdeclarations.h"

namespace api = APIdeclarations;

namespace {

// Set by the lock helper once it holds its lock, and by the interrupt helper once past its wait;
// every copy of this program opens the same event by its name.
const HANDLE Ready = CreateEventA(nullptr, TRUE, FALSE, "Local\\tunezap-platform-test-ready");
constexpr const char* kHeldPath = "\\\\?\\HID#Lock-Test-AZ#1";

int Passed = 0;
int Failed = 0;

// Prints "ok - NAME", or "FAIL - NAME: DETAIL".
void Check(bool ok, const std::string& name, const std::string& detail = "") {
  ++(ok ? Passed : Failed);
  const std::string why = ok || detail.empty() ? "" : ": " + detail;
  std::printf("%s - %s%s\n", ok ? "ok" : "FAIL", name.c_str(), why.c_str());
}

// A reason as Windows words it: prefix, some text, and no trailing period or line break.
bool WellFormed(const std::string& reason, const std::string& prefix) {
  return reason.starts_with(prefix) && reason.size() > prefix.size() &&
         std::string_view(".\r\n").find(reason.back()) == std::string_view::npos;
}

bool Lock(const std::string& path, unsigned milliseconds, api::CallResult* result) {
  return api::LockDevice(api::kInvalidHandle, path, milliseconds, result);
}

// Starts this program again with `arguments`; returns the process for Finish, or -1.
std::intptr_t StartSelf(const std::string& arguments) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string quoted = std::string("\"") + self + "\"";  // the C runtime quotes nothing
  return _spawnl(_P_NOWAIT, self, quoted.c_str(), arguments.c_str(), nullptr);
}

// Waits for a process from StartSelf and returns its exit status. (_cwait must not be given -1:
// that is the handle of this process, which it would wait for forever.)
DWORD Finish(std::intptr_t process) {
  int status = 255;
  if (process != -1) _cwait(&status, process, _WAIT_CHILD);
  return static_cast<DWORD>(status);
}

DWORD RunSelf(const std::string& arguments) { return Finish(StartSelf(arguments)); }

void CheckErrors() {
  const std::string missing = "\\\\?\\hid#no-such-device#0";
  const std::string opening = "CreateFileA '" + missing + "': ";
  api::CallResult result, peek;
  api::DeviceAttributes attributes;
  // The checks' texts show what the calls put into the results, so the calls come first.
  const bool opened = api::OpenDevice(missing, &result) != api::kInvalidHandle;
  const bool peeked = api::PeekDeviceAttributes(missing, &attributes, &peek);
  Check(!opened && !result.ok && !result.accessDenied && WellFormed(result.reason, opening),
        "opening a missing device names the call, the path and Windows' text: " + result.reason);
  Check(!peeked && WellFormed(peek.reason, opening),
        "peeking at a missing device fails with a reason", peek.reason);
  Check(!api::WriteAllBytes(api::kInvalidHandle, "x"), "writing to no stream fails");
  Check(api::WriteAllBytes(api::GetStandardOutput(), ""), "writing nothing succeeds");
  // A wait for a change looks again within 0.1 s (GetTickCount moves in steps of up to 16 ms).
  const DWORD start = GetTickCount();
  api::WaitForInterfaceChange(5000);
  Check(GetTickCount() - start < 200, "a wait for a change lasts 0.1 s at most");
}

void CheckLock() {
  api::CallResult first, again, taken;
  const bool locked = Lock(kHeldPath, 0, &first);
  const bool relocked = Lock(kHeldPath, 0, &again);
  Check(locked, "a free lock is taken at once", first.reason);
  Check(relocked, "the holder may take its own lock again", again.reason);
  // Device paths are compared without regard to case, and so are the locks named after them.
  Check(RunSelf("--lock \\\\?\\hid#lock-test-az#1 200") == 1,
        "another process waits for a held lock and gives up after the timeout");
  Check(RunSelf("--lock \\\\?\\hid#lock-test#2 200") == 0, "another device's lock is not affected");

  // A helper takes the lock and ends 300 ms later without releasing it, while this process
  // waits: the wait ends with the lock abandoned to this process.
  const std::string abandoned = "\\\\?\\hid#lock-test#3";
  ResetEvent(Ready);
  const std::intptr_t helper = StartSelf("--lock-and-exit " + abandoned + " 300");
  Check(WaitForSingleObject(Ready, 10000) == WAIT_OBJECT_0, "the helper holds the lock");
  const bool takenOver = Lock(abandoned, 5000, &taken);
  Check(Finish(helper) == 0, "a helper takes a lock and ends without releasing it");
  Check(takenOver, "a lock left by a process that ended is taken over", taken.reason);

  // The lock is a mutex in the global namespace that everyone may wait on (and do nothing else
  // with). Another thread of this process cannot have it while this one holds it, and its failure
  // names the mutex, which is then opened here to read its access list.
  static api::CallResult other;
  const auto lockHeld = [](void*) -> DWORD { return Lock(kHeldPath, 0, &other); };
  const HANDLE thread = CreateThread(nullptr, 0, lockHeld, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  const std::size_t open = other.reason.find('\'');
  const std::string name =
      other.reason.substr(open + 1, other.reason.find('\'', open + 1) - open - 1);
  Check(name.starts_with("Global\\tunezap-"), "the lock is in the global namespace", other.reason);
  const HANDLE mutex = OpenMutexA(READ_CONTROL, FALSE, name.c_str());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* dacl = nullptr;
  const bool read = mutex != nullptr &&
                    GetSecurityInfo(mutex, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                    ConvertSecurityDescriptorToStringSecurityDescriptorA(
                        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &dacl, nullptr);
  // One entry: everyone (WD) is allowed (A) to wait (SYNCHRONIZE) and nothing more.
  Check(read && std::string(dacl) == "D:(A;;0x100000;;;WD)",
        "the lock's access list lets everyone wait on it and nothing more", read ? dacl : "");
  LocalFree(dacl);
  LocalFree(descriptor);
  if (mutex != nullptr) CloseHandle(mutex);
}

// The helper of --stale-stderr: standard error names a handle value that is not open, and which a
// handle opened later takes. Writes to standard error must be dropped, not reach that handle.
int StaleStandardError() {
  HANDLE stale = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(stale);
  SetStdHandle(STD_ERROR_HANDLE, stale);
  if (!api::SecureStandardStreams()) return 1;
  if (CreateEventA(nullptr, TRUE, FALSE, nullptr) != stale) return 3;  // not reused: no check
  const api::PlatformHandle error = api::GetStandardError();
  return error == api::kInvalidHandle && !api::WriteAllBytes(error, "x") ? 0 : 1;
}

// Handles this process holds, whose values are multiples of 4 (wine's GetProcessHandleCount says
// 0). A search that left one open would pile them up in a long --wait, which searches every 0.1 s.
int OpenHandles() {
  int count = 0;
  DWORD flags = 0;
  for (std::uintptr_t value = 4; value < 0x10000; value += 4)
    count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
  return count;
}

void CheckPresentInterfaces() {
  const int handlesBefore = OpenHandles();
  api::CallResult listed;
  const std::vector<api::InterfaceMember> members = api::EnumerateInterfaces(&listed);
  Check(listed.ok, "the present HID interfaces are listed", listed.reason);
  Check(!members.empty(), "at least one HID interface is present (wine has its own)");
  const std::vector<TestData::Bytes> reports = TestData::Reports("1 5 123");
  for (std::size_t index = 0; index < members.size(); ++index) {
    const std::string& path = members[index].Path;
    const std::string name = "interface " + std::to_string(index) + " (" + path + ")";
    api::CallResult result, peek, write;
    Check(path.starts_with("\\\\?\\"), name + " has a device path", members[index].Problem);
    const api::PlatformHandle device = api::OpenDevice(path, &result);
    Check(device != api::kInvalidHandle, name + " opens for reading and writing", result.reason);
    if (device == api::kInvalidHandle) continue;
    api::DeviceAttributes opened, peeked;
    std::uint16_t length = 0xFFFF;
    const bool read = api::GetDeviceAttributes(device, path, &opened, &result) &&
                      api::PeekDeviceAttributes(path, &peeked, &peek);
    Check(read && opened.VendorID != 0 && opened.VendorID == peeked.VendorID &&
              opened.ProductID == peeked.ProductID,
          name + " has the same identity opened and peeked at", result.reason + peek.reason);
    const bool measured = api::GetOutputReportByteLength(device, path, &length, &result);
    Check(measured && length != 0xFFFF,
          name + " has an output report length (" + std::to_string(length) + ")", result.reason);
    if (length == 0) {  // nothing may be written without an output report; the failure names it
      const bool written = !reports.empty() && api::WriteReport(device, path, reports[0].data(),
                                                                reports[0].size(), &write);
      Check(!written && WellFormed(write.reason, "WriteFile '" + path + "': "),
            name + " refuses a report it has no room for: " + write.reason);
    }
    api::CloseDevice(device);
  }
  // A device that never takes a report: a pipe nobody reads, whose buffer is smaller than the
  // report. Its handles are counted too.
  const std::string path = "\\\\.\\pipe\\tunezap-platform-test-stalled";
  const HANDLE reader =
      CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 64, 64, 0, nullptr);
  api::CallResult result;
  const api::PlatformHandle device = api::OpenDevice(path, &result);
  const std::vector<std::uint8_t> report(65536, '0');
  const DWORD start = GetTickCount();
  const bool written = api::WriteReport(device, path, report.data(), report.size(), &result);
  const DWORD took = GetTickCount() - start;
  if (device != api::kInvalidHandle) api::CloseDevice(device);
  CloseHandle(reader);
  Check(!written && took >= 4900 && took < 7000 &&
            result.reason == "write '" + path + "': the device did not take the report within 5 s",
        "a report the device never takes fails after 5 s (" + std::to_string(took) + " ms)",
        result.reason);
  const int handles = OpenHandles();
  Check(handlesBefore > 0 && handles == handlesBefore,
        "the walk and the given-up write leave no handle open",
        std::to_string(handlesBefore) + " before, " + std::to_string(handles) + " after");
}

// The helper of --interrupt: Ctrl+C on a console of its own reaches it alone. Wine delivers no
// other console event (Ctrl+Break fails with ERROR_INVALID_HANDLE); no program can send close,
// logoff or shutdown.
int InterruptHelper(bool hold, bool send) {
  FreeConsole();
  if (!AllocConsole()) return 1;
  api::HoldTermination();
  if (!hold) api::ReleaseTermination();  // outside a hold, after one
  if (send && !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 1;
  Sleep(500);  // time for the event to arrive
  if (!SetEvent(Ready)) return 1;
  if (hold) api::ReleaseTermination();
  return 0;
}

// Ctrl+C ends a process at once outside a hold, and in one at the release with Windows' status
// (wine's own handler, which ends it outside a hold, gives 0).
void CheckTerminationHold() {
  const struct {
    const char *name, *holdAndSend;
    bool survives;
    DWORD status;
  } cases[] = {
      {"Ctrl+C after a hold ends the process at once", "0 1", false, 0},
      {"Ctrl+C in a hold ends the process at the release", "1 1", true, STATUS_CONTROL_C_EXIT},
      {"a release with nothing held goes on", "1 0", true, 0},
  };
  for (const auto& c : cases) {
    ResetEvent(Ready);
    const DWORD status = RunSelf(std::string("--interrupt ") + c.holdAndSend);
    const bool through = WaitForSingleObject(Ready, 0) == WAIT_OBJECT_0;
    Check(through == c.survives && (status == c.status || !c.survives), c.name,
          "status " + std::to_string(status) + (through ? ", got past the wait" : ""));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const unsigned milliseconds = argc == 4 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
  api::CallResult result;
  if (argc == 4 && mode == "--lock") {
    if (Lock(argv[2], milliseconds, &result)) return 0;
    const std::string held = "': still held after " + std::string(argv[3]) + " ms";
    const bool worded = result.reason.starts_with("WaitForSingleObject 'Global\\tunezap-");
    return worded && result.reason.find(held) != std::string::npos ? 1 : 2;
  }
  if (argc == 4 && mode == "--lock-and-exit") {
    if (!Lock(argv[2], 0, &result) || !SetEvent(Ready)) return 1;
    Sleep(milliseconds);
    return 0;
  }
  if (mode == "--stale-stderr") return StaleStandardError();
  if (argc == 4 && mode == "--interrupt")
    return InterruptHelper(argv[2][0] == '1', argv[3][0] == '1');
  CheckErrors();
  Check(RunSelf("--stale-stderr") == 0,
        "a standard error naming no open handle stays invalid when a later handle takes its value");
  // wine 8.0 keeps no event log: it only traces the lines (WINEDEBUG=+eventlog shows them).
  Check(api::WriteSystemLog(api::LogLevel::kInformation, "platform test: information") &&
            api::WriteSystemLog(api::LogLevel::kError, "platform test: error"),
        "the event log takes an information and an error line");
  CheckLock();
  CheckPresentInterfaces();
  CheckTerminationHold();
  std::printf("%d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? 0 : 1;
}

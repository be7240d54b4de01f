// The platform layer on Windows: the console through kernel32, HID interfaces through SetupAPI and
// the HID class library.
// clang-format off
// windows.h must come first.
#include <windows.h>
#include <sddl.h>
#include <setupapi.h>
// mingw-w64's HID headers declare no C linkage of their own.
extern "C" {
#include <hidsdi.h>  // brings hidusage.h and hidpi.h in the order they need
}
// clang-format on

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "platform/APIdeclarations.h"
#include "text/Texts.h"

namespace APIdeclarations {

namespace {

// Device locks, held until the process ends; the system releases them then.
std::vector<HANDLE> HeldLocks;

// The neutral header carries a HANDLE as an integer; the cast back is the only way to use it.
HANDLE ToHandle(PlatformHandle handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}
PlatformHandle FromHandle(HANDLE handle) { return reinterpret_cast<PlatformHandle>(handle); }

// Windows' own text for a system error code, without the trailing period and line break.
std::string ErrorText(DWORD code) {
  char text[512];
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = FormatMessageA(flags, nullptr, code, 0, text, sizeof text, nullptr);
  // SetupAPI's own codes are known to the message table in their HRESULT form.
  constexpr DWORD kSetupApiMask = APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR;
  if (length == 0 && (code & kSetupApiMask) == kSetupApiMask) {
    const DWORD asHresult = 0x80000000u | (FACILITY_SETUPAPI << 16) | (code & 0xFFFFu);
    length = FormatMessageA(flags, nullptr, asHresult, 0, text, sizeof text, nullptr);
  }
  std::string result(text, length);
  result.erase(result.find_last_not_of("\r\n.") + 1);  // npos + 1 == 0: nothing but those
  if (result.empty()) {
    char number[32];
    // The buffer has room for the whole text: nothing can fail or be cut.
    static_cast<void>(std::snprintf(number, sizeof number, "error 0x%08lX", code));
    result = number;
  }
  return result;
}

void FailWithText(CallResult* result, const char* operation, const std::string& object,
                  const std::string& text, bool accessDenied = false) {
  result->ok = false;
  result->accessDenied = accessDenied;
  result->reason = std::string(operation) + " '" + object + "': " + text;
}

// Fills `result` for an operation that failed with `code`.
void FailWithError(CallResult* result, const char* operation, const std::string& object,
                   DWORD code) {
  FailWithText(result, operation, object, ErrorText(code), code == ERROR_ACCESS_DENIED);
}

HANDLE OpenPath(const std::string& path, DWORD access, DWORD flags = 0) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

bool ReadAttributes(HANDLE device, const std::string& path, DeviceAttributes* attributes,
                    CallResult* result) {
  HIDD_ATTRIBUTES read{};
  read.Size = sizeof read;
  if (!HidD_GetAttributes(device, &read)) {
    FailWithError(result, "HidD_GetAttributes", path, GetLastError());
    return false;
  }
  attributes->VendorID = read.VendorID;
  attributes->ProductID = read.ProductID;
  return true;
}

PlatformHandle CheckedStandardHandle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD flags = 0;
  // A value the parent passed but that is not open here may later be given to a device.
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !GetHandleInformation(handle, &flags)) {
    return kInvalidHandle;
  }
  return FromHandle(handle);
}

// The standard handles as they were at start-up, each kInvalidHandle when it named no open object.
// Not a function-local static: under mingw-w64 its guard takes a handle at the first use, which
// may be the very value of a stale standard handle.
struct StandardHandles {
  bool Taken = false;
  PlatformHandle Output = kInvalidHandle;
  PlatformHandle Error = kInvalidHandle;
} Standard;

const StandardHandles& TakeStandardHandles() {
  if (!Standard.Taken) {
    Standard = {true, CheckedStandardHandle(STD_OUTPUT_HANDLE),
                CheckedStandardHandle(STD_ERROR_HANDLE)};
  }
  return Standard;
}

// Interface paths are ASCII, and Windows compares them without regard to letter case.
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A mutex name for a device path in `ns` ("Global" or "Local"). Names may not hold backslashes
// after the namespace prefix and are limited in length, so the path (case-insensitive on Windows)
// is hashed (64-bit FNV-1a).
std::string LockName(const char* ns, const std::string& path) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (const char c : path)
    hash = (hash ^ static_cast<unsigned char>(AsciiLower(c))) * 0x100000001B3u;
  char name[64];
  // The buffer has room for the whole text ("Global" is the longest namespace): nothing can fail
  // or be cut.
  static_cast<void>(std::snprintf(name, sizeof name, "%s\\tunezap-%016llx", ns,
                                  static_cast<unsigned long long>(hash)));
  return name;
}

// Opens (or makes) the lock mutex `name` with only the right to wait on it, which its security
// descriptor grants to everyone, so that a run of any user may wait for a run of any other.
HANDLE OpenLock(const std::string& name, DWORD* error) {
  // Everyone (WD) may wait on it (SYNCHRONIZE); a wait that succeeds is all a lock needs.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
    *error = GetLastError();
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  const HANDLE mutex = CreateMutexExA(&attributes, name.c_str(), 0, SYNCHRONIZE);
  *error = mutex == nullptr ? GetLastError() : ERROR_SUCCESS;
  LocalFree(descriptor);
  return mutex;
}

// ---- Process and console ----

// The command line after the program's name, as typed.
const wchar_t* ArgumentsAsTyped() {
  const wchar_t* text = GetCommandLineW();
  // The program's name, read as Windows reads it: a quoted name ends at its closing quote and may
  // hold blanks; an unquoted one ends at the first blank or tab.
  if (*text == L'"') {
    ++text;
    while (*text != L'\0' && *text != L'"') ++text;
    if (*text == L'"') ++text;
  } else {
    while (*text != L'\0' && *text != L' ' && *text != L'\t') ++text;
  }
  while (*text == L' ' || *text == L'\t') ++text;
  return text;
}

// `text` in the ANSI code page; empty when it cannot be converted.
std::string ToAnsi(const wchar_t* text, std::size_t length) {
  if (length == 0 || length > static_cast<std::size_t>(INT_MAX)) return {};
  const int size = static_cast<int>(length);
  const int needed = WideCharToMultiByte(CP_ACP, 0, text, size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string converted(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, text, size, converted.data(), needed, nullptr, nullptr) !=
      needed) {
    return {};
  }
  return converted;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

ArgumentWords GetArgumentWords(int, char**) {
  // Words are cut as the C runtime cuts argv: blanks and tabs outside quotes end a word, quotes
  // toggle quoting, "" inside quotes is one quote, and backslashes are literal unless they come
  // before a quote (2n of them: n backslashes and the quote toggles; 2n+1: n and a literal quote).
  // Each word's text from its start is converted with what follows it, so that Text is whole.
  const wchar_t* text = ArgumentsAsTyped();
  const std::size_t length = wcslen(text);
  ArgumentWords words;
  std::size_t at = 0;
  while (at < length) {
    std::wstring word;
    const std::size_t start = at;
    bool quoted = false;
    while (at < length && (quoted || !IsBlank(text[at]))) {
      std::size_t backslashes = 0;
      while (at < length && text[at] == L'\\') {
        ++backslashes;
        ++at;
      }
      if (at < length && text[at] == L'"') {
        word.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          word += L'"';
        } else if (quoted && at + 1 < length && text[at + 1] == L'"') {
          word += L'"';
          ++at;
        } else {
          quoted = !quoted;
        }
        ++at;
      } else {
        word.append(backslashes, L'\\');
        if (at < length && (quoted || !IsBlank(text[at]))) word += text[at++];
      }
    }
    // The text before this word (blanks after the previous one) and the word as typed.
    words.Starts.push_back(words.Text.size());
    words.Text += ToAnsi(text + start, at - start);
    words.Words.push_back(ToAnsi(word.data(), word.size()));
    const std::size_t blanks = at;
    while (at < length && IsBlank(text[at])) ++at;
    words.Text += ToAnsi(text + blanks, at - blanks);
  }
  return words;
}

std::string_view NativeLineEnd() { return "\r\n"; }

bool SecureStandardStreams() {
  TakeStandardHandles();
  return true;
}

PlatformHandle GetStandardOutput() { return TakeStandardHandles().Output; }

PlatformHandle GetStandardError() { return TakeStandardHandles().Error; }

bool WriteAllBytes(PlatformHandle stream, std::string_view bytes) {
  if (stream == kInvalidHandle) return false;
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(bytes.size() < 0x40000000u ? bytes.size() : 0x40000000u);
    DWORD written = 0;
    if (!WriteFile(ToHandle(stream), bytes.data(), chunk, &written, nullptr) || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// ---- System log ----

bool StandardErrorDiscarded() {
  const PlatformHandle standardError = TakeStandardHandles().Error;
  if (standardError == kInvalidHandle) return true;
  // NUL is a character device but no console. (A serial port as standard error would pass for it
  // too; nobody reads a recording server's errors there either.)
  DWORD mode = 0;
  return GetFileType(ToHandle(standardError)) == FILE_TYPE_CHAR &&
         !GetConsoleMode(ToHandle(standardError), &mode);
}

// An event of the Application log, source "tunezap".
bool WriteSystemLog(LogLevel level, std::string_view line) {
  // The source is not registered (no installer writes the registry): the viewer then shows the
  // line as the event's one insertion string, under "The description ... cannot be found".
  constexpr DWORD kEventId = 1;
  const HANDLE source = RegisterEventSourceA(nullptr, "tunezap");
  if (source == nullptr) return false;
  const std::string text(line);
  const char* strings[] = {text.c_str()};
  const BOOL reported = ReportEventA(
      source, level == LogLevel::kError ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
      kEventId, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
  return reported != FALSE;
}

// ---- Termination ----

namespace {

// The console's control events are held while Holding is set; the first one that arrives then is
// kept in HeldEvent until the release. Both are guarded by TerminationLock, since the system calls
// the handler on a thread of its own.
SRWLOCK TerminationLock = SRWLOCK_INIT;
bool HandlerInstalled = false;
bool Holding = false;
constexpr DWORD kNoEvent = MAXDWORD;
DWORD HeldEvent = kNoEvent;

BOOL WINAPI HoldControlEvent(DWORD event) {
  AcquireSRWLockExclusive(&TerminationLock);
  const bool held = Holding;
  if (held && HeldEvent == kNoEvent) HeldEvent = event;
  ReleaseSRWLockExclusive(&TerminationLock);
  // Outside a hold the next handler, in the end the system's own, acts as it always does.
  if (!held) return FALSE;
  // The process ends once this handler returns from close, logoff or shutdown, whatever it
  // answers. Blocking keeps it alive, within the system's grace period, until the release ends it.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(INFINITE);
  }
  return TRUE;
}

}  // namespace

void HoldTermination() {
  AcquireSRWLockExclusive(&TerminationLock);
  if (!HandlerInstalled) HandlerInstalled = SetConsoleCtrlHandler(HoldControlEvent, TRUE) != 0;
  Holding = true;
  ReleaseSRWLockExclusive(&TerminationLock);
}

void ReleaseTermination() {
  AcquireSRWLockExclusive(&TerminationLock);
  Holding = false;
  const DWORD event = HeldEvent;
  ReleaseSRWLockExclusive(&TerminationLock);
  // The system's own handler ends the process this way for every control event.
  if (event != kNoEvent) ExitProcess(STATUS_CONTROL_C_EXIT);
}

// ---- HID interfaces ----

namespace {

// The path of the interface `data` of `set`, or why it has none. The size query fails by design,
// reporting the size needed.
InterfaceMember MemberPath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, DWORD index) {
  const std::string member = "HID interface " + std::to_string(index);
  CallResult result;
  DWORD requiredSize = 0;
  SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &requiredSize, nullptr);
  const DWORD queryError = GetLastError();
  constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (requiredSize < kPathOffset + 1) {
    if (queryError != ERROR_INSUFFICIENT_BUFFER && queryError != ERROR_SUCCESS) {
      FailWithError(&result, "SetupDiGetDeviceInterfaceDetailA", member, queryError);
    } else {
      FailWithText(&result, "SetupDiGetDeviceInterfaceDetailA", member,
                   "a detail of " + std::to_string(requiredSize) + " bytes cannot hold a path");
    }
    return {{}, result.reason};
  }
  // One zero byte more than asked for, so the path is terminated whatever the fetch leaves.
  // The allocation is aligned for the record that the fetch fills in.
  std::vector<std::uint8_t> buffer(std::size_t{requiredSize} + 1, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(set, data, detail, requiredSize, nullptr, nullptr)) {
    FailWithError(&result, "SetupDiGetDeviceInterfaceDetailA", member, GetLastError());
    return {{}, result.reason};
  }
  const char* text = reinterpret_cast<const char*>(buffer.data() + kPathOffset);
  std::string path(text, strnlen(text, buffer.size() - kPathOffset));
  if (path.empty()) {
    FailWithText(&result, "SetupDiGetDeviceInterfaceDetailA", member, "the path is empty");
  }
  return {std::move(path), result.reason};
}

bool ReadOutputReportByteLength(HANDLE device, const std::string& path, std::uint16_t* length,
                                CallResult* result) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(device, &preparsed)) {
    FailWithError(result, "HidD_GetPreparsedData", path, GetLastError());
    return false;
  }
  HIDP_CAPS caps{};
  const NTSTATUS status = HidP_GetCaps(preparsed, &caps);
  HidD_FreePreparsedData(preparsed);
  if (status != HIDP_STATUS_SUCCESS) {
    char text[48];
    // The buffer has room for the whole text: nothing can fail or be cut.
    static_cast<void>(std::snprintf(text, sizeof text, "status 0x%08lX",
                                    static_cast<unsigned long>(static_cast<ULONG>(status))));
    FailWithText(result, "HidP_GetCaps", path, text);
    return false;
  }
  *length = caps.OutputReportByteLength;
  return true;
}

bool ReadSerialNumber(HANDLE device, const std::string& path, std::string* serial,
                      CallResult* result) {
  // USB string descriptors hold at most 126 characters; one more keeps the text terminated.
  wchar_t text[128] = {};
  if (!HidD_GetSerialNumberString(device, text, sizeof text - sizeof text[0])) {
    const DWORD error = GetLastError();
    // A device without a serial number string has none to give.
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_GEN_FAILURE ||
        error == ERROR_NOT_SUPPORTED) {
      serial->clear();
      return true;
    }
    FailWithError(result, "HidD_GetSerialNumberString", path, error);
    return false;
  }
  *serial = ToAnsi(text, wcsnlen(text, sizeof text / sizeof text[0] - 1));
  return true;
}

// Runs `read` on a handle to `path` opened with access 0, closed again at once. Access 0 asks for
// neither reading nor writing, which HID allows even where those are refused (keyboards and mice,
// which Windows holds), and it does not wake the device for a reader.
template <typename Value>
bool ReadWithoutAccess(const std::string& path, Value* value, CallResult* result,
                       bool (*read)(HANDLE, const std::string&, Value*, CallResult*)) {
  const HANDLE device = OpenPath(path, 0);
  if (device == INVALID_HANDLE_VALUE) {
    FailWithError(result, "CreateFileA", path, GetLastError());
    return false;
  }
  const bool done = read(device, path, value, result);
  CloseHandle(device);
  return done;
}

}  // namespace

// SetupAPI's set of the present interfaces of the HID class, in its order. A member the walk
// cannot read ends it, as the end of the set does.
std::vector<InterfaceMember> EnumerateInterfaces(CallResult* result) {
  GUID hidGuid;
  HidD_GetHidGuid(&hidGuid);
  const HDEVINFO set =
      SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    FailWithError(result, "SetupDiGetClassDevsA", "HID interfaces", GetLastError());
    return {};
  }
  std::vector<InterfaceMember> members;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data)) break;
    members.push_back(MemberPath(set, &data, index));
  }
  SetupDiDestroyDeviceInfoList(set);
  return members;
}

// An interface path is the same in every session: it names the interface wherever it is used.
bool FindDeviceNode(const std::string& member, std::string* node, CallResult* /*result*/) {
  *node = member;
  return true;
}

PlatformHandle OpenDevice(const std::string& path, CallResult* result) {
  // Overlapped, so that a write the device never takes can be given up (the HID class driver has
  // no timeout of its own); the HidD_ calls on such a handle still return only when done.
  const HANDLE device = OpenPath(path, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
  if (device == INVALID_HANDLE_VALUE) {
    FailWithError(result, "CreateFileA", path, GetLastError());
    return kInvalidHandle;
  }
  return FromHandle(device);
}

bool GetDeviceAttributes(PlatformHandle device, const std::string& path,
                         DeviceAttributes* attributes, CallResult* result) {
  return ReadAttributes(ToHandle(device), path, attributes, result);
}

bool PeekDeviceAttributes(const std::string& path, DeviceAttributes* attributes,
                          CallResult* result) {
  return ReadWithoutAccess(path, attributes, result, ReadAttributes);
}

bool PeekOutputReportByteLength(const std::string& path, std::uint16_t* length,
                                CallResult* result) {
  return ReadWithoutAccess(path, length, result, ReadOutputReportByteLength);
}

bool GetOutputReportByteLength(PlatformHandle device, const std::string& path,
                               std::uint16_t* length, CallResult* result) {
  return ReadOutputReportByteLength(ToHandle(device), path, length, result);
}

bool GetSerialNumber(PlatformHandle device, const std::string& path, std::string* serial,
                     CallResult* result) {
  return ReadSerialNumber(ToHandle(device), path, serial, result);
}

bool PeekSerialNumber(const std::string& path, std::string* serial, CallResult* result) {
  return ReadWithoutAccess(path, serial, result, ReadSerialNumber);
}

bool IsSameInterface(const std::string& given, const std::string& member) {
  return given.size() == member.size() &&
         std::equal(given.begin(), given.end(), member.begin(),
                    [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

bool LockDevice(PlatformHandle, const std::string& path, unsigned timeoutMilliseconds,
                CallResult* result) {
  // A handle cannot be locked against other processes on Windows; a mutex named after the
  // device stands in, and the system releases it when this process ends. It lives in the global
  // namespace, so that runs in different sessions (a service in session 0, a user at the desktop)
  // exclude each other; only where that cannot be had does a lock of this session stand in.
  std::string name = LockName("Global", path);
  DWORD globalError = ERROR_SUCCESS;
  HANDLE mutex = OpenLock(name, &globalError);
  std::string fallback;
  if (mutex == nullptr) {
    fallback = " (a lock of this session only: '" + name +
               "' could not be had: " + ErrorText(globalError) + ")";
    // Said, not failed: a user who took the name (access denied) must not be able to keep every
    // run from the box.
    WriteAllBytes(GetStandardError(),
                  "tunezap: warning: runs in other sessions are not kept apart from this one" +
                      fallback + "\n");
    name = LockName("Local", path);
    DWORD localError = ERROR_SUCCESS;
    mutex = OpenLock(name, &localError);
    if (mutex == nullptr) {
      FailWithError(result, "CreateMutexExA", name, localError);
      result->reason += fallback;
      return false;
    }
  }
  const DWORD waited = WaitForSingleObject(mutex, timeoutMilliseconds);
  // An abandoned lock belonged to a run that ended without releasing it: it is ours now.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    HeldLocks.push_back(mutex);
    return true;
  }
  if (waited == WAIT_TIMEOUT) {
    FailWithText(result, "WaitForSingleObject", name,
                 "still held after " + std::to_string(timeoutMilliseconds) + " ms");
  } else {
    FailWithError(result, "WaitForSingleObject", name, GetLastError());
  }
  result->reason += fallback;
  CloseHandle(mutex);
  return false;
}

bool WriteReport(PlatformHandle device, const std::string& path, const std::uint8_t* report,
                 std::size_t size, CallResult* result) {
  // How long a device may take to accept a report, as Linux's usbhid allows.
  constexpr DWORD kWriteBoundMilliseconds = 5000;
  // How long a cancelled write may take to end: a driver ends it at once when it honours the
  // cancellation.
  constexpr DWORD kCancelBoundMilliseconds = 500;
  if (size > MAXDWORD) {
    FailWithText(result, "WriteFile", path, "the report is too long");
    return false;
  }
  const HANDLE handle = ToHandle(device);
  // What the write uses until it is over: left to the end of the process when a driver does not
  // end it even after it was cancelled, so that nothing is freed under it.
  struct Pending {
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> bytes;
  };
  auto pending = std::make_unique<Pending>();
  pending->bytes.assign(report, report + size);
  OVERLAPPED& overlapped = pending->overlapped;
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    FailWithError(result, "CreateEventA", path, GetLastError());
    return false;
  }
  DWORD written = 0;
  bool timedOut = false;
  bool done =
      WriteFile(handle, pending->bytes.data(), static_cast<DWORD>(size), nullptr, &overlapped) != 0;
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  if (done || error == ERROR_IO_PENDING) {
    DWORD waited = WaitForSingleObject(overlapped.hEvent, kWriteBoundMilliseconds);
    timedOut = waited == WAIT_TIMEOUT;
    if (waited != WAIT_OBJECT_0) {
      // Fails when the write has just completed; the result below tells which happened.
      CancelIoEx(handle, &overlapped);
      waited = WaitForSingleObject(overlapped.hEvent, kCancelBoundMilliseconds);
    }
    if (waited != WAIT_OBJECT_0) {
      static_cast<void>(pending.release());  // still the driver's: released with the process
      FailWithText(result, "write", path,
                   "the device did not take the report within " +
                       Texts::SecondsText(kWriteBoundMilliseconds) +
                       " s, and its driver did not end the write when asked");
      return false;
    }
    done = GetOverlappedResult(handle, &overlapped, &written, FALSE) != 0;
    error = done ? ERROR_SUCCESS : GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  if (!done && timedOut && error == ERROR_OPERATION_ABORTED) {
    FailWithText(result, "write", path,
                 "the device did not take the report within " +
                     Texts::SecondsText(kWriteBoundMilliseconds) + " s");
    return false;
  }
  if (!done) {
    FailWithError(result, "WriteFile", path, error);
    return false;
  }
  if (written != size) {
    FailWithText(result, "WriteFile", path,
                 "wrote " + std::to_string(written) + " of " + std::to_string(size) + " bytes");
    return false;
  }
  return true;
}

void Pause(unsigned milliseconds) { Sleep(milliseconds); }

// CM_Register_Notification would announce an arriving interface, but wine, where this program is
// tested, only stubs it: a call ends the program, and the stub cannot be told from the real thing
// beforehand. A short poll needs nothing, and a search costs far less than the 0.1 s between two.
void WatchInterfaces() {}

void WaitForInterfaceChange(unsigned timeoutMilliseconds) {
  constexpr unsigned kPollMilliseconds = 100;
  Sleep(std::min(timeoutMilliseconds, kPollMilliseconds));
}

void CloseDevice(PlatformHandle device) { CloseHandle(ToHandle(device)); }

std::string AccessDeniedHint() {
  return "another program may hold it open without sharing; close that program and try again";
}

}  // namespace APIdeclarations

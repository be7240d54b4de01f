// The platform layer: every operation the program needs from the operating system, declared once.
// Each operating system has its own implementation (linux/, windows/), chosen by the build; tests
// link a scriptable fake instead. No operating-system type crosses this header.
//
// Errors are translated here, once: a failing operation fills a CallResult whose reason reads
// "operation 'object': text of the system's error", ready to be shown to the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace APIdeclarations {

// An opaque handle to something the platform opened (a file descriptor on Linux, a HANDLE on
// Windows). kInvalidHandle never names an open object.
using PlatformHandle = std::intptr_t;
inline constexpr PlatformHandle kInvalidHandle = -1;

// Why an operation failed. Left untouched by an operation that succeeds.
struct CallResult {
  bool ok = true;
  // The object exists but this user may not open it (EACCES/EPERM, ERROR_ACCESS_DENIED).
  bool accessDenied = false;
  std::string reason;  // "open '/dev/hidraw3': Permission denied"
};

// ---- Process and console ----

// The argument text: the command line after the program's own name, without the blanks that
// separate it from the name and otherwise unchanged, in the system's 8-bit code page (UTF-8 on
// Linux, the ANSI code page on Windows); Linux joins argv[1..] with single blanks. With it, the
// words the system cuts it into (Linux: argv[1..]; Windows: the words as the C runtime reads the
// command line, quotes and escaping backslashes resolved).
// Word i begins at Text[Starts[i]], so the argument text from any word on is a suffix of Text.
struct ArgumentWords {
  std::string Text;
  std::vector<std::string> Words;
  std::vector<std::size_t> Starts;
};
ArgumentWords GetArgumentWords(int argc, char** argv);

// The platform's own line end ("\n" on Linux, "\r\n" on Windows), for output that is not part of
// the fixed console text.
std::string_view NativeLineEnd();

// Makes the standard streams safe to leave alone, and must run before anything else is opened.
// Linux: each of descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that no device
// opened later can take its number and receive text meant for a stream. Windows: a standard handle
// that is missing or names no open object is remembered as invalid, so that a device handle that
// later takes its value is never written to as a stream; writes to it are dropped. False only
// when a closed descriptor could not be filled; the caller must then open nothing.
bool SecureStandardStreams();

// Standard output and standard error. A stream that is closed or cannot be had yields a handle
// whose writes fail; it never ends the process. Writing to a closed pipe makes the write fail
// instead of killing the process (SIGPIPE is ignored from the first call on).
PlatformHandle GetStandardOutput();
PlatformHandle GetStandardError();

// Writes every byte of `bytes` to `stream`, unchanged (no newline translation), retrying partial
// writes and interruptions. True when every byte was written.
bool WriteAllBytes(PlatformHandle stream, std::string_view bytes);

// ---- Termination ----

// Holds the requests to end the process that can be caught (Linux: SIGTERM, SIGINT, SIGHUP;
// Windows: the console's control events) from HoldTermination until ReleaseTermination, so
// that the reports of one channel are written whole. A request that arrives in between takes
// effect in ReleaseTermination, which then ends the process as the request would have
// (Linux: a death by that signal). Outside a hold, requests act as they always do.
void HoldTermination();
void ReleaseTermination();

// ---- System log ----

// True when standard error leads nowhere anyone reads: it was closed when the process started
// (before SecureStandardStreams filled it), it is closed now, or it is the null device.
bool StandardErrorDiscarded();

enum class LogLevel { kInformation, kError };

// Hands one line (no line end) to the system log as this program's ("tunezap"): Linux: syslog(3)
// with the facility LOG_USER at LOG_INFO or LOG_ERR; Windows: the Application event log, source
// "tunezap", as an information or an error event. A log that cannot be reached (no /dev/log in a
// minimal container) loses the line and nothing else: no stream is written to, nothing ends.
// True when the system took the line as far as it tells (syslog(3) never tells: always true).
bool WriteSystemLog(LogLevel level, std::string_view line);

// ---- HID interfaces ----

// The identity of a HID interface.
struct DeviceAttributes {
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
};

// Takes a snapshot of the HID interfaces present now, to be walked with GetInterfacePath and
// released with CloseInterfaceSet. Always returns a set that may be walked and closed: when the
// snapshot cannot be made the set is empty and `result` says why.
PlatformHandle OpenInterfaceSet(CallResult* result);

enum class MemberStatus {
  kPresent,   // `path` holds the member's path
  kUnusable,  // a member exists at this index but has no usable path; `result` says why
  kEnd,       // no member at this index or beyond
};

// The path of member `index` of `set`. Members are numbered from 0 in a stable order (Linux:
// ascending hidraw number; Windows: SetupAPI's enumeration order). The Peek operations and
// IsSameInterface take it as it is. Linux: <dev>/hidrawN after the kernel's name, which in a
// container's device directory may name no node, or another device's: FindDeviceNode gives the
// path to open and to show.
MemberStatus GetInterfacePath(PlatformHandle set, std::uint32_t index, std::string* path,
                              CallResult* result);

// Releases a set from OpenInterfaceSet.
void CloseInterfaceSet(PlatformHandle set);

// The identity of the interface at `path`, learned without opening it for reading or writing:
// the search asks this of every interface and opens only one that matches, since opening a HID
// interface powers it up in its driver. Linux reads it from sysfs; Windows through a handle
// opened with neither read nor write access. False when it cannot be told.
bool PeekDeviceAttributes(const std::string& path, DeviceAttributes* attributes,
                          CallResult* result);

// The path that opens the interface `member` (a path from GetInterfacePath) in this system, to
// open and to show the user. Linux: the character device in the device directory whose number is
// the interface's (sysfs: its dev attribute), <dev>/hidrawN when that is it, else the first such
// node in name order (a container may name hidraw2 /dev/hidraw0). Windows: `member` itself. False
// when there is no such node, with `result` saying why.
bool FindDeviceNode(const std::string& member, std::string* node, CallResult* result);

// Opens the interface at `path` (a path from FindDeviceNode) for reading and writing, shared with
// other processes and not inherited by child processes. Returns kInvalidHandle on failure, with
// `result` saying why.
PlatformHandle OpenDevice(const std::string& path, CallResult* result);

// The identity of the device behind an open handle, asked of the handle itself (Linux:
// HIDIOCGRAWINFO), so that it describes the very device the handle writes to even if the path
// was taken by another device since it was peeked. False on failure, and for a handle that is
// not a HID device.
bool GetDeviceAttributes(PlatformHandle device, DeviceAttributes* attributes, CallResult* result);

// The serial number of the interface at `path`, read without opening it for reading or writing
// (Linux: the HID device's HID_UNIQ; Windows: HidD_GetSerialNumberString). Device text: it may
// hold any byte. Empty when the device has none. False when it cannot be read.
bool PeekSerialNumber(const std::string& path, std::string* serial, CallResult* result);

// The serial number of the device behind an open handle, asked of the handle itself where the
// system allows (Linux: HIDIOCGRAWUNIQ; on kernels without it, the sysfs entry of the node's
// device number), so that a device chosen by its serial number is the one written to. False when
// it cannot be read.
bool GetSerialNumber(PlatformHandle device, std::string* serial, CallResult* result);

// GetOutputReportByteLength for the interface at `path`, without opening it for reading or
// writing.
bool PeekOutputReportByteLength(const std::string& path, std::uint16_t* length, CallResult* result);

// True when `given` names the interface at `member` (a path from GetInterfacePath). Linux: a
// character device (any link to one too) names the hidraw interface with its device number,
// whatever its own name; anything else names the same file; Windows: the same path, letter case
// aside.
bool IsSameInterface(const std::string& given, const std::string& member);

// The length of the interface's output report as Windows defines OutputReportByteLength: the
// longest output report in bytes plus one byte for the report id (counted even when the device
// uses no report ids); 0 when the interface has no output report. Read through the handle itself
// (Linux: the report descriptor by HIDIOCGRDESC). False when it cannot be read.
bool GetOutputReportByteLength(PlatformHandle device, std::uint16_t* length, CallResult* result);

// Waits until this process holds an exclusive lock on the open interface, for at most
// `timeoutMilliseconds`. The lock is held until the process ends, so that two runs tuning the
// same device never interleave their reports, whichever user or (Windows) session they run in.
// False when the wait timed out or failed.
bool LockDevice(PlatformHandle device, const std::string& path, unsigned timeoutMilliseconds,
                CallResult* result);

// Starts watching for HID interfaces that arrive or change (Linux: a node made, or its owner or
// permissions changed, as udev does after the kernel made it), so that every change from now on
// ends the next WaitForInterfaceChange. Called before the search the wait follows, so that no
// change between the two is missed; later calls do nothing.
void WatchInterfaces();

// Waits at most `timeoutMilliseconds` for a change seen since WatchInterfaces or the previous
// wait. It may end sooner without one, since some changes raise no event (a container's /dev, a
// handle another program released): the caller searches again either way. Linux: an event on the
// device-node root, or 0.5 s at most; Windows: 0.1 s at most.
void WaitForInterfaceChange(unsigned timeoutMilliseconds);

// Writes one whole report, waiting until it is accepted. True only when all `size` bytes were
// written by one write. A device that takes no report fails the write after 5 s (Windows:
// "write 'PATH': the device did not take the report within 5 s", the write cancelled first).
bool WriteReport(PlatformHandle device, const std::uint8_t* report, std::size_t size,
                 CallResult* result);

// Sleeps for `milliseconds`, whatever signals the process catches meanwhile.
void Pause(unsigned milliseconds);

// Closes an open interface. Must not be called with kInvalidHandle.
void CloseDevice(PlatformHandle device);

// What the user can do when a device exists but this user may not open it, as a short clause
// ("install the udev rule ..."); empty when the platform has nothing to suggest.
std::string AccessDeniedHint();

}  // namespace APIdeclarations

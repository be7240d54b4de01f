// The platform layer: every operation the program needs from the operating system, declared once
// and implemented once per system (linux/, windows/), chosen by the build; tests link a scriptable
// fake. No operating-system type crosses this header. A failing operation fills a CallResult whose
// reason reads "operation 'object': the system's text", ready to be shown to the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace APIdeclarations {

// An opaque handle to something the platform opened; kInvalidHandle never names an open object.
using PlatformHandle = std::intptr_t;
inline constexpr PlatformHandle kInvalidHandle = -1;

// Why an operation failed. Left untouched by an operation that succeeds.
struct CallResult {
  bool ok = true;
  bool accessDenied = false;  // the object exists but this user may not open it
  std::string reason;         // "open '/dev/hidraw3': Permission denied"
};

// ---- Process and console ----

// The command line after the program's name, unchanged, in the system's 8-bit code page, and the
// words the system cuts it into; word i begins at Text[Starts[i]], so the text from any word on
// is a suffix of Text.
struct ArgumentWords {
  std::string Text;
  std::vector<std::string> Words;
  std::vector<std::size_t> Starts;
};
ArgumentWords GetArgumentWords(int argc, char** argv);

// The system's own line end, for output that is not part of the fixed console text.
std::string_view NativeLineEnd();

// Makes the standard streams safe to leave alone: no device opened later can be written to as a
// stream. Runs before anything else is opened; false when that cannot be had, and then the caller
// must open nothing.
bool SecureStandardStreams();

// Standard output and standard error. A stream that is closed or cannot be had yields a handle
// whose writes fail; writing to one, or to a closed pipe, never ends the process.
PlatformHandle GetStandardOutput();
PlatformHandle GetStandardError();

// Writes every byte of `bytes` to `stream` unchanged, retrying partial writes and interruptions.
// True when every byte was written.
bool WriteAllBytes(PlatformHandle stream, std::string_view bytes);

// ---- Termination ----

// From HoldTermination until ReleaseTermination, the requests to end the process that can be
// caught wait, so that the reports of one channel are written whole; one that came meanwhile
// takes effect in ReleaseTermination as it would have. Outside a hold they act as always.
void HoldTermination();
void ReleaseTermination();

// ---- System log ----

// True when standard error leads nowhere anyone reads: closed at start or now, or the null device.
bool StandardErrorDiscarded();

enum class LogLevel { kInformation, kError };

// Hands one line (no line end) to the system log as "tunezap"'s. A log that cannot be reached
// loses the line and nothing else. True when the system took it, as far as it tells.
bool WriteSystemLog(LogLevel level, std::string_view line);

// ---- HID interfaces ----

// The identity of a HID interface.
struct DeviceAttributes {
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
};

// One present HID interface: the path by which the operations below know it, or why it has none.
struct InterfaceMember {
  std::string Path;     // empty when it has no usable path
  std::string Problem;  // why, when Path is empty
};

// Every HID interface present now, in search order. Empty, with `result` saying why, when they
// cannot be listed.
std::vector<InterfaceMember> EnumerateInterfaces(CallResult* result);

// The Peek operations learn about the interface at a member's path without opening it for
// reading or writing, since opening a HID interface powers it up in its driver. False when the
// answer cannot be had. A serial number is device text (any byte); empty when there is none.
bool PeekDeviceAttributes(const std::string& path, DeviceAttributes* attributes,
                          CallResult* result);
bool PeekSerialNumber(const std::string& path, std::string* serial, CallResult* result);
bool PeekOutputReportByteLength(const std::string& path, std::uint16_t* length, CallResult* result);

// True when `given`, a path from the user, names the interface of `member`, a member's path.
bool IsSameInterface(const std::string& given, const std::string& member);

// The path that opens the interface of `member` (a member's path) in this system, to open and to
// show the user. False, with `result` saying why, when there is none.
bool FindDeviceNode(const std::string& member, std::string* node, CallResult* result);

// Opens the interface at `path` (from FindDeviceNode) for reading and writing, shared with other
// processes and not inherited by child processes; kInvalidHandle on failure.
PlatformHandle OpenDevice(const std::string& path, CallResult* result);

// The operations on an open device take its handle and the path it was opened with, which names
// it in their messages. What they read is asked of the handle itself, so that it describes the
// very device the reports reach, even if the path has passed to another device since it was
// peeked. False on failure.
bool GetDeviceAttributes(PlatformHandle device, const std::string& path,
                         DeviceAttributes* attributes, CallResult* result);
bool GetSerialNumber(PlatformHandle device, const std::string& path, std::string* serial,
                     CallResult* result);

// The length of the output report as Windows defines OutputReportByteLength: the longest output
// report in bytes plus one for the report id (counted even when the device uses none); 0 when
// there is no output report.
bool GetOutputReportByteLength(PlatformHandle device, const std::string& path,
                               std::uint16_t* length, CallResult* result);

// Waits at most `timeoutMilliseconds` for an exclusive lock on the device, held until the process
// ends, so that two runs tuning it never interleave their reports, whatever user or session they
// run in. False when the wait timed out or failed.
bool LockDevice(PlatformHandle device, const std::string& path, unsigned timeoutMilliseconds,
                CallResult* result);

// Writes one whole report, waiting until it is accepted. True only when all `size` bytes were
// written by one write; a device that takes no report fails the write after 5 s.
bool WriteReport(PlatformHandle device, const std::string& path, const std::uint8_t* report,
                 std::size_t size, CallResult* result);

// Closes an open device. Must not be called with kInvalidHandle.
void CloseDevice(PlatformHandle device);

// Starts watching for HID interfaces that arrive or change, so that every change from now on ends
// the next WaitForInterfaceChange. Called before the search the wait follows; later calls do
// nothing.
void WatchInterfaces();

// Waits at most `timeoutMilliseconds` for a change since WatchInterfaces or the previous wait. It
// may end sooner without one, since some changes raise no event: the caller searches again either
// way.
void WaitForInterfaceChange(unsigned timeoutMilliseconds);

// Sleeps for `milliseconds`, whatever signals the process catches meanwhile.
void Pause(unsigned milliseconds);

// What the user can do when a device exists but this user may not open it, as a short clause;
// empty when the system has nothing to suggest.
std::string AccessDeniedHint();

}  // namespace APIdeclarations

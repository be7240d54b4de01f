// The platform layer on Linux. HID interfaces are the hidraw class devices: each is found in sysfs
// as <sysfs>/class/hidraw/hidrawN, whose device/ directory describes the HID device (identity in
// uevent, report descriptor in report_descriptor), and is opened as the node in <dev> with its
// device number: <dev>/hidrawN, unless a container's /dev names it otherwise. Sysfs by name serves
// to choose which interface to open; a node is known by its number, never by its name; once it is
// open, its identity and report descriptor are asked of the descriptor, which stays bound to its
// device even if the number passes to another one.
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <map>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/APIdeclarations.h"
#include "platform/linux/LinuxRoots.h"
#include "platform/linux/ReportDescriptor.h"
#include "text/Texts.h"

namespace {

using APIdeclarations::CallResult;
using APIdeclarations::PlatformHandle;

// Short enough to live inside the strings themselves: their initialisation allocates nothing and
// cannot throw.
std::string sysfsRoot = "/sys";  // NOLINT(cert-err58-cpp)
std::string devRoot = "/dev";    // NOLINT(cert-err58-cpp)
LinuxRoots::StandInTest standInTest = nullptr;

// The character devices directly in <dev>, by number, the first name in name order for each:
// looked over at most once per search, and only when a node is not where the kernel's name puts
// it. A new search looks again: a run that waits may see the node made meanwhile.
std::map<dev_t, std::string> devNodes;
bool devNodesScanned = false;

constexpr std::string_view kHidrawPrefix = "hidraw";
constexpr std::size_t kMaxDescriptorBytes = 4096;  // the kernel's HID_MAX_DESCRIPTOR_SIZE
constexpr std::size_t kMaxAttributeBytes = 4096;   // a sysfs text attribute is at most one page
constexpr auto kLockRetryInterval = std::chrono::milliseconds(10);
// The longest wait for a change without looking again: where no event comes (a container's /dev
// made by its runtime), this is how late a device is seen.
constexpr unsigned kChangePollMilliseconds = 500;

// The inotify instance on the device-node root; -1 before WatchInterfaces, or where none can be
// had.
int changeWatch = -1;
bool changeWatchTried = false;

// The signal mask before HoldTermination, which ReleaseTermination puts back.
sigset_t maskBeforeHold;
bool holding = false;

// Standard error was closed when the process started: SecureStandardStreams put /dev/null there.
bool standardErrorClosedAtStart = false;

void FailWithText(CallResult* result, std::string_view operation, std::string_view object,
                  std::string_view text, bool accessDenied = false) {
  result->ok = false;
  result->accessDenied = accessDenied;
  result->reason.assign(operation).append(" '").append(object).append("': ").append(text);
}

// The one place where a system error number becomes text.
void FailWithError(CallResult* result, std::string_view operation, std::string_view object,
                   int error) {
  FailWithText(result, operation, object, std::generic_category().message(error),
               error == EACCES || error == EPERM);
}

// The whole of `text` as a number in `base`: no blanks, no sign, no prefix, no overflow.
bool ParseWhole(std::string_view text, int base, std::uint32_t* value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  std::uint32_t parsed = 0;
  const auto [stop, error] = std::from_chars(text.data(), end, parsed, base);
  if (error != std::errc() || stop != end) return false;
  *value = parsed;
  return true;
}

// The N of a name "hidrawN". The kernel writes N without leading zeros; a name with them is
// not one of its nodes, and accepting it would give two names for one number.
bool ParseHidrawName(std::string_view name, std::uint32_t* number) {
  if (!name.starts_with(kHidrawPrefix)) return false;
  const std::string_view digits = name.substr(kHidrawPrefix.size());
  if (digits.size() > 1 && digits.front() == '0') return false;
  return ParseWhole(digits, 10, number);
}

// The hidraw name behind a node path <dev>/hidrawN, or "" when the path is not one.
std::string NodeName(std::string_view path) {
  const std::string prefix = devRoot + "/";
  if (!path.starts_with(prefix)) return {};
  const std::string_view name = path.substr(prefix.size());
  std::uint32_t number = 0;
  return ParseHidrawName(name, &number) ? std::string(name) : std::string();
}

// "243:2"
std::string NumberText(dev_t number) {
  return std::to_string(major(number)) + ":" + std::to_string(minor(number));
}

// `text` as exactly as many whole numbers in `base` as `fields`, separated by colons.
bool ParseFields(std::string_view text, int base, std::initializer_list<std::uint32_t*> fields) {
  std::size_t left = fields.size();
  for (std::uint32_t* field : fields) {
    const std::size_t colon = --left == 0 ? text.size() : text.find(':');
    if (colon == std::string_view::npos || !ParseWhole(text.substr(0, colon), base, field)) {
      return false;
    }
    text.remove_prefix(std::min(colon + 1, text.size()));
  }
  return true;
}

// A dev attribute as the kernel writes it, "MAJOR:MINOR\n", and nothing else.
bool ParseDeviceNumber(std::string_view text, dev_t* number) {
  std::uint32_t majorNumber = 0;
  std::uint32_t minorNumber = 0;
  if (!text.ends_with('\n') ||
      !ParseFields(text.substr(0, text.size() - 1), 10, {&majorNumber, &minorNumber})) {
    return false;
  }
  *number = makedev(majorNumber, minorNumber);
  return true;
}

// The target of the symbolic link at `link`; "" when there is none.
std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  return {target, static_cast<std::size_t>(length)};
}

// The name of the hidraw interface with character device number `number`, from its entry
// <sysfs>/dev/char/MAJOR:MINOR, a link to .../hidraw/hidrawN; "" when it is none.
std::string HidrawNameOf(dev_t number) {
  const std::string path = LinkTarget(sysfsRoot + "/dev/char/" + NumberText(number));
  const std::size_t slash = path.rfind('/');
  std::uint32_t ignored = 0;
  if (slash == std::string::npos || !path.substr(0, slash).ends_with("/hidraw") ||
      !ParseHidrawName(std::string_view(path).substr(slash + 1), &ignored)) {
    return {};
  }
  return path.substr(slash + 1);
}

// The node in <dev> with character device number `number`, or null.
const std::string* NodeByNumber(dev_t number) {
  if (!devNodesScanned) {
    devNodesScanned = true;
    if (DIR* dir = opendir(devRoot.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        struct stat status {};
        if ((entry->d_type != DT_CHR && entry->d_type != DT_UNKNOWN) ||
            fstatat(dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISCHR(status.st_mode)) {
          continue;
        }
        std::string path = devRoot + "/" + entry->d_name;
        const auto [known, added] = devNodes.emplace(status.st_rdev, path);
        if (!added && path < known->second) known->second = std::move(path);
      }
      closedir(dir);
    }
  }
  const auto found = devNodes.find(number);
  return found != devNodes.end() ? &found->second : nullptr;
}

std::string DeviceFilePath(const std::string& name, std::string_view file) {
  return sysfsRoot + "/class/hidraw/" + name + "/device/" + std::string(file);
}

int ToDescriptor(PlatformHandle handle) {
  return handle >= 0 && handle <= INT_MAX ? static_cast<int>(handle) : -1;
}

// Reads a whole small file. One byte of room beyond `limit` tells a file that is too long from
// one that just fits. One read does it: sysfs hands out an attribute whole, and a regular file
// reads to its end.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* contents,
                   CallResult* result) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    FailWithError(result, "open", path, errno);
    return false;
  }
  std::string data(limit + 1, '\0');
  ssize_t count = 0;
  do {
    count = read(fd, data.data(), data.size());
  } while (count < 0 && errno == EINTR);
  const int error = errno;
  close(fd);
  if (count < 0) {
    FailWithError(result, "read", path, error);
    return false;
  }
  if (static_cast<std::size_t>(count) > limit) {
    FailWithText(result, "read", path, "longer than " + std::to_string(limit) + " bytes");
    return false;
  }
  data.resize(static_cast<std::size_t>(count));
  *contents = std::move(data);
  return true;
}

// The value of HID_ID=bus:vendor:product, which the kernel prints as %04X:%08X:%08X.
bool ParseHidId(std::string_view value, APIdeclarations::DeviceAttributes* attributes) {
  std::uint32_t bus = 0;
  std::uint32_t vendor = 0;
  std::uint32_t product = 0;
  if (!ParseFields(value, 16, {&bus, &vendor, &product}) || vendor > 0xFFFF || product > 0xFFFF) {
    return false;
  }
  attributes->VendorID = static_cast<std::uint16_t>(vendor);
  attributes->ProductID = static_cast<std::uint16_t>(product);
  return true;
}

// The identity in the name the kernel gives a HID device, "%04X:%04X:%04X.%04X" (bus, vendor,
// product, instance), which its hidraw entry's device link ends in. One readlink instead of an
// open, a read and a close of uevent. False when the link is not there or not of that form.
bool ReadIdentityFromLink(const std::string& name, APIdeclarations::DeviceAttributes* attributes) {
  const std::string target = LinkTarget(sysfsRoot + "/class/hidraw/" + name + "/device");
  std::string_view device = target;
  device = device.substr(device.rfind('/') + 1);  // npos + 1 == 0: the whole target
  const std::size_t dot = device.rfind('.');
  std::uint32_t instance = 0;
  if (dot == std::string_view::npos || !ParseWhole(device.substr(dot + 1), 16, &instance)) {
    return false;
  }
  return ParseHidId(device.substr(0, dot), attributes);
}

// The value of the line KEY=value in the HID device's uevent. False, with `result` filled, when
// the file cannot be read or has no such line.
bool ReadUeventValue(const std::string& name, std::string_view key, std::string* value,
                     CallResult* result) {
  const std::string path = DeviceFilePath(name, "uevent");
  std::string uevent;
  if (!ReadSmallFile(path, kMaxAttributeBytes, &uevent, result)) return false;
  // Every line, the first one too, follows a line end. (Appended to, not "\n" + key: GCC 12
  // warns of an overlapping copy there, wrongly, with -Wrestrict.)
  const std::string lines = '\n' + uevent;
  const std::string start = std::string(1, '\n').append(key).append("=");
  if (const std::size_t at = lines.find(start); at != std::string::npos) {
    const std::size_t begin = at + start.size();
    *value = lines.substr(begin, lines.find('\n', begin) - begin);
    return true;
  }
  FailWithText(result, "read", path, "no " + std::string(key) + " line");
  return false;
}

// The hidraw name behind `path`, or "" with `result` filled.
std::string PeekName(const std::string& path, std::string_view operation, CallResult* result) {
  std::string name = NodeName(path);
  if (name.empty())
    FailWithText(result, operation, path, "not a hidraw node under '" + devRoot + "'");
  return name;
}

bool ReadOutputReportByteLength(const std::string& name, std::uint16_t* length,
                                CallResult* result) {
  std::string descriptor;
  if (!ReadSmallFile(DeviceFilePath(name, "report_descriptor"), kMaxDescriptorBytes, &descriptor,
                     result)) {
    return false;
  }
  *length = ReportDescriptor::OutputReportByteLength(
      reinterpret_cast<const std::uint8_t*>(descriptor.data()), descriptor.size());
  return true;
}

bool ReadAttributes(const std::string& name, APIdeclarations::DeviceAttributes* attributes,
                    CallResult* result) {
  if (ReadIdentityFromLink(name, attributes)) return true;
  // Not linked as the kernel links it (a tree made by hand): the HID_ID line of uevent.
  std::string value;
  if (!ReadUeventValue(name, "HID_ID", &value, result)) return false;
  if (ParseHidId(value, attributes)) return true;
  FailWithText(result, "read", DeviceFilePath(name, "uevent"),
               "unusable line 'HID_ID=" + value + "'");
  return false;
}

// Whether a node of this kind stands in for an interface (see LinuxRoots).
bool IsStandIn(mode_t mode) { return standInTest != nullptr && standInTest(mode); }

// Asks the hidraw driver behind `fd`, opened as `path`, for something with `request`. On failure
// decides whether the node is a stand-in: it reaches no device, so its sysfs entry by name may
// speak for it (true, `result` untouched). Any other node that does not answer, a character
// device above all, is not a hidraw device and is refused.
template <typename Argument>
bool AskDriver(int fd, const std::string& path, unsigned long request, Argument* argument,
               std::string_view operation, bool* standIn, CallResult* result) {
  *standIn = false;
  if (ioctl(fd, request, argument) == 0) return true;
  const int error = errno;
  struct stat status {};
  // ENOSYS: qemu-user's answer to a request it does not translate, on such nodes too.
  if ((error == ENOTTY || error == ENOSYS) && fstat(fd, &status) == 0 &&
      IsStandIn(status.st_mode)) {
    // One outside the device root has no sysfs entry to speak for it.
    *standIn = !PeekName(path, operation, result).empty();
  } else if (error == ENOTTY || error == EINVAL) {
    FailWithText(result, operation, path, "not a hidraw device");
  } else {
    FailWithError(result, operation, path, error);
  }
  return false;
}

// The sysfs name of the interface open as `fd`: a device node's by its number (its own name may
// be a container's), a stand-in's by its name `path`; "" when it has none.
std::string SysfsName(int fd, const std::string& path) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return {};
  if (S_ISCHR(status.st_mode)) return HidrawNameOf(status.st_rdev);
  return IsStandIn(status.st_mode) ? NodeName(path) : std::string();
}

PlatformHandle StandardStream(int fd) {
  // A reader that went away must make writes fail, not end the process.
  [[maybe_unused]] static const bool sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  // A closed stream gets no descriptor: its number may later be reused by a device.
  if (fcntl(fd, F_GETFD) < 0) return APIdeclarations::kInvalidHandle;
  return fd;
}

}  // namespace

namespace LinuxRoots {

void SetRoots(const std::string& sysfs, const std::string& dev, StandInTest standIn) {
  const auto trimmed = [](std::string root) {
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
  };
  sysfsRoot = trimmed(sysfs);
  devRoot = trimmed(dev);
  standInTest = standIn;
  devNodes.clear();
  devNodesScanned = false;
}

}  // namespace LinuxRoots

namespace APIdeclarations {

// argv[1..], joined with single blanks.
ArgumentWords GetArgumentWords(int argc, char** argv) {
  ArgumentWords words;
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    if (i > 1) words.Text += ' ';
    words.Starts.push_back(words.Text.size());
    words.Words.emplace_back(argv[i] != nullptr ? argv[i] : "");
    words.Text += words.Words.back();
  }
  return words;
}

std::string_view NativeLineEnd() { return "\n"; }

// Each of descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that no device opened
// later can take its number.
bool SecureStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open() takes the lowest free number, which is this one: the lower ones are open by now.
    // Where /dev/null is missing, the root directory holds the number; it takes no writes.
    int filled = open("/dev/null", O_RDWR);
    if (filled < 0) filled = open("/", O_RDONLY | O_DIRECTORY);
    if (filled != fd) {
      if (filled >= 0) close(filled);
      return false;
    }
    if (fd == STDERR_FILENO) standardErrorClosedAtStart = true;
  }
  return true;
}

PlatformHandle GetStandardOutput() { return StandardStream(STDOUT_FILENO); }

PlatformHandle GetStandardError() { return StandardStream(STDERR_FILENO); }

bool WriteAllBytes(PlatformHandle stream, std::string_view bytes) {
  const int fd = ToDescriptor(stream);
  if (fd < 0) return false;
  while (!bytes.empty()) {
    const ssize_t count = write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

// SIGTERM, SIGINT and SIGHUP; one that came in the hold kills the process at the release.
void HoldTermination() {
  if (holding) return;
  sigset_t termination;
  sigemptyset(&termination);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&termination, signal);
  // Blocked, not caught: a signal that comes meanwhile waits with its disposition untouched, and
  // acts as it would have once unblocked (one the parent left ignored stays ignored).
  holding = sigprocmask(SIG_BLOCK, &termination, &maskBeforeHold) == 0;
}

void ReleaseTermination() {
  if (!holding) return;
  holding = false;
  // A pending signal is delivered before sigprocmask returns.
  sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

bool StandardErrorDiscarded() {
  struct stat stream {};
  struct stat null {};
  if (standardErrorClosedAtStart || fstat(STDERR_FILENO, &stream) != 0) return true;
  return S_ISCHR(stream.st_mode) && stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
         stream.st_rdev == null.st_rdev;
}

// syslog(3), which never tells whether the line arrived.
bool WriteSystemLog(LogLevel level, std::string_view line) {
  // Asked first: without a log socket syslog(3) would still read the time zone and make a socket,
  // only to lose the line.
  struct stat status {};
  if (stat(_PATH_LOG, &status) != 0 || !S_ISSOCK(status.st_mode)) return true;
  // No LOG_CONS: a log that cannot be reached must not turn up on the console instead.
  openlog("tunezap", 0, LOG_USER);
  syslog(level == LogLevel::kError ? LOG_ERR : LOG_INFO, "%.*s", static_cast<int>(line.size()),
         line.data());
  return true;
}

// The hidraw class devices in ascending number, each as <dev>/hidrawN after the kernel's name,
// which in a container's device directory may name no node, or another device's: FindDeviceNode
// gives the node to open.
std::vector<InterfaceMember> EnumerateInterfaces(CallResult* result) {
  devNodes.clear();
  devNodesScanned = false;
  const std::string classDir = sysfsRoot + "/class/hidraw";
  DIR* dir = opendir(classDir.c_str());
  if (dir == nullptr) {
    FailWithError(result, "open directory", classDir, errno);
    return {};
  }
  std::map<std::uint32_t, std::string> found;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    std::uint32_t number = 0;
    if (ParseHidrawName(entry->d_name, &number)) found.emplace(number, entry->d_name);
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    FailWithError(result, "read directory", classDir, error);
    return {};
  }
  std::vector<InterfaceMember> members;
  members.reserve(found.size());
  for (const auto& [number, name] : found) members.push_back({devRoot + "/" + name, {}});
  return members;
}

// The character device in the device directory whose number is the interface's (sysfs: its dev
// attribute): <dev>/hidrawN when that is it, else the first such node in name order (a container
// may name hidraw2 /dev/hidraw0).
bool FindDeviceNode(const std::string& member, std::string* node, CallResult* result) {
  const std::string name = PeekName(member, "open", result);
  if (name.empty()) return false;
  struct stat status {};
  const bool present = stat(member.c_str(), &status) == 0;
  if (present && IsStandIn(status.st_mode)) {
    *node = member;  // a stand-in: it has no number
    return true;
  }
  const std::string attribute = sysfsRoot + "/class/hidraw/" + name + "/dev";
  std::string text;
  if (!ReadSmallFile(attribute, kMaxAttributeBytes, &text, result)) return false;
  dev_t number = 0;
  if (!ParseDeviceNumber(text, &number)) {
    FailWithText(result, "read", attribute, "not MAJOR:MINOR");
    return false;
  }
  if (present && S_ISCHR(status.st_mode) && status.st_rdev == number) {
    *node = member;
    return true;
  }
  if (const std::string* found = NodeByNumber(number)) {
    *node = *found;
    return true;
  }
  FailWithText(result, "open", member,
               "no device node " + NumberText(number) + " in '" + devRoot + "'");
  return false;
}

PlatformHandle OpenDevice(const std::string& path, CallResult* result) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    FailWithError(result, "open", path, errno);
    return kInvalidHandle;
  }
  return fd;
}

// HIDIOCGRAWINFO; a stand-in's sysfs entry.
bool GetDeviceAttributes(PlatformHandle device, const std::string& path,
                         DeviceAttributes* attributes, CallResult* result) {
  hidraw_devinfo info{};
  bool standIn = false;
  if (AskDriver(ToDescriptor(device), path, HIDIOCGRAWINFO, &info, "read attributes", &standIn,
                result)) {
    // The kernel hands the 16-bit identifiers out as signed numbers.
    attributes->VendorID = static_cast<std::uint16_t>(info.vendor);
    attributes->ProductID = static_cast<std::uint16_t>(info.product);
    return true;
  }
  return standIn && ReadAttributes(NodeName(path), attributes, result);
}

// Peeks read sysfs, by the kernel's name in the member's path.
bool PeekDeviceAttributes(const std::string& path, DeviceAttributes* attributes,
                          CallResult* result) {
  const std::string name = PeekName(path, "read attributes", result);
  return !name.empty() && ReadAttributes(name, attributes, result);
}

// The report descriptor by HIDIOCGRDESC; a stand-in's sysfs entry.
bool GetOutputReportByteLength(PlatformHandle device, const std::string& path,
                               std::uint16_t* length, CallResult* result) {
  constexpr std::string_view kOperation = "read report descriptor";
  const int fd = ToDescriptor(device);
  int size = 0;
  bool standIn = false;
  if (AskDriver(fd, path, HIDIOCGRDESCSIZE, &size, kOperation, &standIn, result)) {
    // The kernel refuses to hand out more than HID_MAX_DESCRIPTOR_SIZE - 1 bytes at once.
    if (size < 0 || static_cast<std::size_t>(size) >= kMaxDescriptorBytes) {
      FailWithText(result, kOperation, path,
                   "a descriptor of " + std::to_string(size) + " bytes is longer than " +
                       std::to_string(kMaxDescriptorBytes - 1));
      return false;
    }
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<std::uint32_t>(size);
    if (!AskDriver(fd, path, HIDIOCGRDESC, &descriptor, kOperation, &standIn, result)) return false;
    *length = ReportDescriptor::OutputReportByteLength(descriptor.value, descriptor.size);
    return true;
  }
  return standIn && ReadOutputReportByteLength(NodeName(path), length, result);
}

bool PeekSerialNumber(const std::string& path, std::string* serial, CallResult* result) {
  const std::string name = PeekName(path, "read serial number", result);
  // For USB, HID_UNIQ is the device's serial number string; the kernel writes it even when empty.
  return !name.empty() && ReadUeventValue(name, "HID_UNIQ", serial, result);
}

bool GetSerialNumber(PlatformHandle device, const std::string& path, std::string* serial,
                     CallResult* result) {
  const int fd = ToDescriptor(device);
  // The kernel copies at most the size asked for, terminator included, and returns that count.
  char text[256] = {};
  const int copied = ioctl(fd, HIDIOCGRAWUNIQ(sizeof text - 1), text);
  if (copied >= 0) {
    *serial = std::string(text, strnlen(text, sizeof text - 1));
    return true;
  }
  const int error = errno;
  // Kernels before 5.6 do not know the request, and stand-in nodes reach no driver:
  // the sysfs entry is all there is.
  if (error == ENOTTY || error == EINVAL || error == ENOSYS) {
    const std::string name = SysfsName(fd, path);
    if (!name.empty()) return ReadUeventValue(name, "HID_UNIQ", serial, result);
  }
  FailWithError(result, "read serial number", path, error);
  return false;
}

bool PeekOutputReportByteLength(const std::string& path, std::uint16_t* length,
                                CallResult* result) {
  const std::string name = PeekName(path, "read report descriptor", result);
  return !name.empty() && ReadOutputReportByteLength(name, length, result);
}

bool IsSameInterface(const std::string& given, const std::string& member) {
  // stat follows links and opens nothing.
  struct stat a {};
  if (stat(given.c_str(), &a) != 0) return false;
  // A device node is its number's, whatever it is called: the member is named as the kernel names
  // it, the node perhaps as a container does.
  if (S_ISCHR(a.st_mode)) {
    const std::string name = NodeName(member);
    return !name.empty() && HidrawNameOf(a.st_rdev) == name;
  }
  struct stat b {};
  return stat(member.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool LockDevice(PlatformHandle device, const std::string& path, unsigned timeoutMilliseconds,
                CallResult* result) {
  const int fd = ToDescriptor(device);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      FailWithError(result, "lock", path, errno);
      return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      FailWithText(
          result, "lock", path,
          "another tunezap run held it for " + Texts::SecondsText(timeoutMilliseconds) + " s");
      return false;
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kLockRetryInterval, deadline - now));
  }
}

bool WriteReport(PlatformHandle device, const std::string& path, const std::uint8_t* report,
                 std::size_t size, CallResult* result) {
  ssize_t written = 0;
  do {
    written = write(ToDescriptor(device), report, size);
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    FailWithError(result, "write", path, errno);
    return false;
  }
  if (static_cast<std::size_t>(written) != size) {
    FailWithText(
        result, "write", path,
        "short write, " + std::to_string(written) + " of " + std::to_string(size) + " bytes");
    return false;
  }
  return true;
}

void Pause(unsigned milliseconds) {
  // sleep_for goes on after an interruption for the time left.
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void WatchInterfaces() {
  if (changeWatchTried) return;
  changeWatchTried = true;
  changeWatch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  // Nodes made (IN_CREATE; IN_MOVED_TO for a link udev renames into place) and nodes whose owner,
  // mode or access list udev sets once it has applied its rules (IN_ATTRIB).
  if (changeWatch >= 0 &&
      inotify_add_watch(changeWatch, devRoot.c_str(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO) < 0) {
    close(changeWatch);
    changeWatch = -1;  // the slow poll alone
  }
}

// An event on the device-node root, or kChangePollMilliseconds at most.
void WaitForInterfaceChange(unsigned timeoutMilliseconds) {
  const int timeout = static_cast<int>(std::min(timeoutMilliseconds, kChangePollMilliseconds));
  if (changeWatch < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
    return;
  }
  pollfd watch{changeWatch, POLLIN, 0};
  if (poll(&watch, 1, timeout) <= 0) return;  // a timeout, or a signal: search again either way
  // Whatever the events say, the caller searches everything again: they are only emptied out.
  alignas(inotify_event) char events[4096];
  while (read(changeWatch, events, sizeof events) > 0) {
  }
}

void CloseDevice(PlatformHandle device) {
  // Not retried on EINTR: Linux has released the descriptor either way.
  if (const int fd = ToDescriptor(device); fd >= 0) close(fd);
}

std::string AccessDeniedHint() { return "install the udev rule 70-tunezap.rules, see tunezap(1)"; }

}  // namespace APIdeclarations

// The Linux platform layer against a device tree made for each test: sysfs entries under
// <tmp>/sys/class/hidraw and regular files (or fifos) standing in for the nodes under <tmp>/dev.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "device_tree.h"
#include "platform/APIdeclarations.h"
#include "platform/linux/LinuxRoots.h"
#include "test_data.h"

namespace {

namespace api = APIdeclarations;
namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr std::string_view kUevent =
    "DRIVER=hid-generic\nHID_ID=0003:00006666:0000F100\nHID_NAME=Box\n";

// Vendor page, one output report of eight 8-bit fields and no report ids: 8 bytes + 1.
const std::string kDescriptor =
    "\x06\x00\xFF\x09\x01\xA1\x01\x09\x02\x15\x00\x26\xFF\x00\x75\x08\x95\x08\x91\x02\xC0"s;

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes));
}

// Descriptors this process holds (the count includes the one that reads the directory). A search
// that left one open would run out of them in a long --wait, which searches again and again.
std::ptrdiff_t OpenDescriptors() {
  return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

struct LinuxPlatform : ::testing::Test {
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "linux_platform_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    for (const char* dir : {"sys/class/hidraw", "dev"}) fs::create_directories(root / dir);
    DeviceTree::Use(root / "sys", root / "dev");
  }
  void TearDown() override {
    LinuxRoots::SetRoots("/sys", "/dev");
    fs::remove_all(root);
    EXPECT_EQ(OpenDescriptors(), descriptors) << "the layer left descriptors open";
  }
  // A sysfs entry for `name` and its node: a regular file (""), none (nullptr) or a link to `node`.
  void AddInterface(const std::string& name, std::string_view uevent = kUevent,
                    std::string_view descriptor = kDescriptor, const char* node = "") {
    const fs::path device = root / "sys/class/hidraw" / name / "device";
    fs::create_directories(device);
    WriteFile(device / "uevent", uevent);
    WriteFile(device / "report_descriptor", descriptor);
    if (node != nullptr) *node ? fs::create_symlink(node, Node(name)) : WriteFile(Node(name), "");
  }
  std::string Node(const std::string& name) const { return (root / "dev" / name).string(); }

  fs::path root;
  api::CallResult result;
  std::ptrdiff_t descriptors = OpenDescriptors();
};

TEST(ArgumentText, JoinsArgumentsAfterTheNameWithSingleBlanks) {
  using Words = std::vector<std::string>;
  for (const auto& [words, text] : {std::pair{Words{"tunezap"}, ""},
                                    {Words{"tunezap", "1", "5", "123"}, "1 5 123"},
                                    {Words{"tunezap", "", "a b"}, " a b"}}) {
    std::vector<char*> argv;
    for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    EXPECT_EQ(api::GetArgumentWords(static_cast<int>(argv.size()), argv.data()).Text, text);
  }
}

// A signal raised in a hold acts at the release as it would have: a death by it, or nothing for
// SIGTERM left ignored (0 below). "held" shows that the code after the signal ran.
TEST(Termination, AHeldSignalActsAtTheReleaseAsItWouldHave) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, 0}) {
    const auto held = [signal] {
      if (signal == 0) std::signal(SIGTERM, SIG_IGN);
      api::HoldTermination();
      raise(signal == 0 ? SIGTERM : signal);
      std::fputs("held", stderr);
      api::ReleaseTermination();
      std::_Exit(0);
    };
    const auto ended = [signal](int status) {
      return signal == 0 ? testing::ExitedWithCode(0)(status)
                         : testing::KilledBySignal(signal)(status);
    };
    EXPECT_EXIT(held(), ended, "held") << signal;
  }
}

// Standard error counts as discarded on the null device, never on a terminal: a person reads that.
TEST(Console, StandardErrorIsDiscardedOnTheNullDeviceAlone) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
  const int saved = dup(STDERR_FILENO);
  for (const auto& [path, discarded] :
       {std::pair<std::string, bool>{"/dev/null", true}, {ptsname(terminal), false}}) {
    const int stream = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(dup2(stream, STDERR_FILENO), STDERR_FILENO) << path;
    const bool seen = api::StandardErrorDiscarded();
    dup2(saved, STDERR_FILENO);
    close(stream);
    EXPECT_EQ(seen, discarded) << path;
  }
  close(saved);
  close(terminal);
}

TEST(Console, WriteToPipeWithoutReaderFailsInsteadOfKillingTheProcess) {
  EXPECT_EQ(api::GetStandardOutput(), 1);
  EXPECT_EQ(api::GetStandardError(), 2);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  EXPECT_FALSE(api::WriteAllBytes(fds[1], "lost"));
  close(fds[1]);
  EXPECT_FALSE(api::WriteAllBytes(api::kInvalidHandle, "x"));
}

TEST_F(LinuxPlatform, ListsHidrawNodesInNumericOrderIgnoringOtherNames) {
  for (const char* name : {"hidraw10", "hidraw2", "hidraw0", "hidrawx", "hidraw01", "hidraw",
                           "hidraw+3", "hidraw-3", "hidraw 4", "hidraw4294967296", "event3"})
    AddInterface(name);
  std::vector<std::string> paths;
  std::ranges::transform(api::EnumerateInterfaces(&result), std::back_inserter(paths),
                         &api::InterfaceMember::Path);
  EXPECT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(paths, (std::vector{Node("hidraw0"), Node("hidraw2"), Node("hidraw10")}));
}

TEST_F(LinuxPlatform, UnreadableClassDirectoryGivesAnEmptyListAndAReason) {
  fs::remove(root / "sys/class/hidraw");
  EXPECT_TRUE(api::EnumerateInterfaces(&result).empty());
  EXPECT_EQ(result.reason, "open directory '" + (root / "sys/class/hidraw").string() +
                               "': No such file or directory");
}

// The identity comes from the name of the HID device the kernel links each hidraw entry to
// (bus:vendor:product.instance), else from the HID_ID line of its uevent, read strictly; peeked
// and asked of the open node (a stand-in, for which the sysfs entry speaks) alike. `device` is the
// linked HID device's directory name ("": no link); with a link, an empty `uevent` is none at all.
TEST_F(LinuxPlatform, ReadsTheIdentityFromTheDeviceLinkOrElseUevent) {
  const std::string other = "HID_ID=0003:0000046D:0000F100\n";
  const struct {
    std::string device{}, uevent{};
    bool ok = false;
    std::uint16_t vendor = 0x6666;
  } cases[] = {
      {.uevent = std::string(kUevent), .ok = true},
      {.uevent = "HID_ID=0003:00006666:0000f100", .ok = true},
      {.uevent = "DRIVER=x\nHID_ID=0003:00006666:0000F100x\n"},
      {.uevent = "HID_ID=0003:00006666:0000F100 \n"},
      {.uevent = "HID_ID=0003:00016666:0000F100\n"},
      {.uevent = "HID_ID=0003:00006666:0001F100\n"},
      {.uevent = "HID_ID=0003:00006666\n"},
      {.uevent = "HID_ID=0003\n"},
      {.uevent = "HID_ID=0003:00006666:0000F100:1\n"},
      {.uevent = "HID_ID=0003::0000F100\n"},
      {.uevent = "HID_ID=0003:+0006666:0000F100\n"},
      {.uevent = "HID_ID=0003:0x6666:F100\n"},
      {.uevent = "DRIVER=x\nXHID_ID=0003:00006666:0000F100\n"},
      {.uevent = ""},
      {.device = "0003:6666:F100.0001", .ok = true},
      {.device = "0003:FFFF:F100.0001", .ok = true, .vendor = 0xFFFF},
      {.device = "0005:6666:f100.00A2", .uevent = "HID_ID=0003:0000046D:0000C31C\n", .ok = true},
      {.device = "0003:6666:F100", .uevent = other, .ok = true, .vendor = 0x046D},
      {.device = "0003:16666:F100.0001", .uevent = other, .ok = true, .vendor = 0x046D},
      {.device = "0003:6666:F100.x"},
      {.device = "input5"},
  };
  const auto identity = [](api::DeviceAttributes a) { return std::pair(a.VendorID, a.ProductID); };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device + " " + c.uevent);
    const std::string name = "hidraw" + std::to_string(n++);
    if (c.device.empty()) {
      AddInterface(name, c.uevent);
    } else {
      const fs::path hid = root / "sys/devices/virtual/hid" / c.device;
      fs::create_directories(hid / "hidraw" / name);
      if (!c.uevent.empty()) WriteFile(hid / "uevent", c.uevent);
      fs::create_symlink("../../../" + c.device, hid / "hidraw" / name / "device");
      fs::create_directory_symlink("../../devices/virtual/hid/" + c.device + "/hidraw/" + name,
                                   root / "sys/class/hidraw" / name);
      WriteFile(Node(name), "");
    }
    api::DeviceAttributes peeked, read;
    api::CallResult peekResult, readResult;
    EXPECT_EQ(api::PeekDeviceAttributes(Node(name), &peeked, &peekResult), c.ok);
    const api::PlatformHandle device = api::OpenDevice(Node(name), &readResult);
    ASSERT_NE(device, api::kInvalidHandle) << readResult.reason;
    EXPECT_EQ(api::GetDeviceAttributes(device, Node(name), &read, &readResult), c.ok);
    api::CloseDevice(device);
    EXPECT_EQ(peekResult.reason, readResult.reason);
    EXPECT_EQ(readResult.ok, c.ok);
    EXPECT_EQ(identity(peeked), identity(read));
    const std::string uevent = (!c.device.empty() && c.uevent.empty() ? "open '" : "read '") +
                               (root / "sys/class/hidraw" / name / "device/uevent").string() +
                               "': ";
    if (c.ok)
      EXPECT_EQ(identity(read), std::pair(c.vendor, std::uint16_t{0xF100}));
    else
      EXPECT_TRUE(readResult.reason.starts_with(uevent)) << readResult.reason;
  }
}

// How opening a node ends: "opened", or the reason and whether access was denied.
TEST_F(LinuxPlatform, OpenFailureNamesThePathAndTheSystemError) {
  fs::create_directories(Node("hidraw1"));
  WriteFile(Node("hidraw2"), "");
  chmod(Node("hidraw2").c_str(), 0);
  fs::permissions(root, fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(root / "dev", fs::perms::others_exec, fs::perm_options::add);
  for (const auto& [name, text] : {std::pair{"hidraw0", "No such file or directory"},
                                   {"hidraw1", "Is a directory"},
                                   {"hidraw2", "Permission denied"}}) {
    // Root is not held back by permission bits: the refused row runs as nobody.
    const bool denied = name == "hidraw2"s, nobody = denied && geteuid() == 0;
    if (nobody && seteuid(65534) != 0) GTEST_SKIP() << "cannot become nobody to be refused";
    const api::PlatformHandle device = api::OpenDevice(Node(name), &result);
    ASSERT_TRUE(!nobody || seteuid(0) == 0) << "cannot become root again";
    if (device != api::kInvalidHandle) api::CloseDevice(device);
    EXPECT_EQ(device, api::kInvalidHandle);
    EXPECT_EQ(result.reason, "open '" + Node(name) + "': " + text);
    EXPECT_EQ(result.accessDenied, denied);
  }
}

// Once open, the identity and the descriptor are asked of the descriptor, never of sysfs by name:
// a node that is a character device but not hidraw is refused, whatever its sysfs entry says.
// (A regular file, as in these trees, reaches no device; its sysfs entry speaks for it, but only
// where the roots admit stand-ins.)
TEST_F(LinuxPlatform, AnOpenNodeThatIsNoHidrawDeviceIsRefused) {
  AddInterface("hidraw0", kUevent, kDescriptor, "/dev/null");
  AddInterface("hidraw1");
  LinuxRoots::SetRoots(root / "sys", root / "dev");
  for (const char* name : {"hidraw0", "hidraw1"}) {
    SCOPED_TRACE(name);
    api::DeviceAttributes attributes;
    EXPECT_TRUE(api::PeekDeviceAttributes(Node(name), &attributes, &result)) << result.reason;
    const api::PlatformHandle device = api::OpenDevice(Node(name), &result);
    ASSERT_NE(device, api::kInvalidHandle) << result.reason;
    api::CallResult read, measured;
    std::uint16_t length = 0;
    EXPECT_FALSE(api::GetDeviceAttributes(device, Node(name), &attributes, &read));
    EXPECT_FALSE(api::GetOutputReportByteLength(device, Node(name), &length, &measured));
    api::CloseDevice(device);
    EXPECT_EQ(read.reason, "read attributes '" + Node(name) + "': not a hidraw device");
    EXPECT_EQ(measured.reason, "read report descriptor '" + Node(name) + "': not a hidraw device");
  }
}

TEST_F(LinuxPlatform, OutputReportLengthComesFromTheReportDescriptor) {
  // As long as the kernel lets a descriptor be (zero bytes are items that describe nothing).
  AddInterface("hidraw0", kUevent, kDescriptor + std::string(4096 - kDescriptor.size(), '\0'));
  AddInterface("hidraw1", kUevent, std::string(4097, '\0'));
  const api::PlatformHandle device = api::OpenDevice(Node("hidraw0"), &result);
  std::uint16_t length = 0;
  EXPECT_TRUE(api::GetOutputReportByteLength(device, Node("hidraw0"), &length, &result) &&
              length == 9)
      << result.reason;
  api::CloseDevice(device);
  const api::PlatformHandle oversized = api::OpenDevice(Node("hidraw1"), &result);
  EXPECT_FALSE(api::GetOutputReportByteLength(oversized, Node("hidraw1"), &length, &result));
  EXPECT_NE(result.reason.find("longer than 4096 bytes"), std::string::npos) << result.reason;
  api::CloseDevice(oversized);
  // A closed descriptor reads nothing, not even its sysfs entry.
  EXPECT_FALSE(api::GetOutputReportByteLength(oversized, Node("hidraw1"), &length, &result));
  EXPECT_EQ(result.reason, "read report descriptor '" + Node("hidraw1") + "': Bad file descriptor");
}

// Two reports, 9 bytes and then 4, each in one write: the node holds them back to back.
TEST_F(LinuxPlatform, WriteReportSendsTheBytesInOneWrite) {
  AddInterface("hidraw0");
  const api::PlatformHandle device = api::OpenDevice(Node("hidraw0"), &result);
  const std::uint8_t reports[] = {0x00, 0x31, 0x05, 0x01, 0x7A, 0x0A, 0x0D,
                                  0x7A, 0x7A, 0x00, 0x31, 0x05, 0x02};
  EXPECT_TRUE(api::WriteReport(device, Node("hidraw0"), reports, 9, &result));
  EXPECT_TRUE(api::WriteReport(device, Node("hidraw0"), reports + 9, 4, &result));
  api::CloseDevice(device);
  EXPECT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(TestData::ReadFile(Node("hidraw0")),
            std::string(std::begin(reports), std::end(reports)));
}

TEST_F(LinuxPlatform, ShortOrFailedWriteIsReported) {
  // A non-blocking fifo accepts part of a write larger than its free space, then nothing.
  ASSERT_EQ(mkfifo(Node("hidraw0").c_str(), 0600), 0);
  const api::PlatformHandle device = api::OpenDevice(Node("hidraw0"), &result);
  ASSERT_NE(device, api::kInvalidHandle) << result.reason;
  ASSERT_EQ(fcntl(static_cast<int>(device), F_SETFL, O_NONBLOCK), 0);
  const int capacity = fcntl(static_cast<int>(device), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  const std::vector<std::uint8_t> report(static_cast<std::size_t>(capacity) + 100, 0x7A);
  EXPECT_FALSE(api::WriteReport(device, Node("hidraw0"), report.data(), report.size(), &result));
  EXPECT_EQ(result.reason, "write '" + Node("hidraw0") + "': short write, " +
                               std::to_string(capacity) + " of " + std::to_string(report.size()) +
                               " bytes");
  EXPECT_FALSE(api::WriteReport(device, Node("hidraw0"), report.data(), 1, &result));
  EXPECT_EQ(result.reason, "write '" + Node("hidraw0") + "': Resource temporarily unavailable");
  api::CloseDevice(device);
}

TEST_F(LinuxPlatform, LockWaitsNoLongerThanTheTimeoutWhileAnotherHoldsIt) {
  AddInterface("hidraw0");
  const std::string node = Node("hidraw0");
  const api::PlatformHandle device = api::OpenDevice(node, &result);
  const int other = open(node.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  for (const auto& [timeout, seconds] : {std::pair{150u, "0.15"}, {1000u, "1"}, {50u, "0.05"}}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(api::LockDevice(device, node, timeout, &result));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(timeout));
    EXPECT_LT(waited, std::chrono::milliseconds(timeout + 500));
    EXPECT_EQ(result.reason, "lock '" + node + "': another tunezap run held it for " +
                                 std::string(seconds) + " s");
  }
  ASSERT_EQ(flock(other, LOCK_UN), 0);
  api::CallResult locked;
  EXPECT_TRUE(api::LockDevice(device, node, 150, &locked)) << locked.reason;
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  api::CloseDevice(device);
}

// A serial number is peeked from the uevent's HID_UNIQ line (one with no such line has none); a
// peek needs no node (hidraw2 has none), but a path under the device root. A node is known by any
// link to it.
TEST_F(LinuxPlatform, PeeksSerialAndLengthAndKnowsANodeByAnyLink) {
  AddInterface("hidraw0", std::string(kUevent) + "HID_UNIQ=BOX \x1b-B\n");
  AddInterface("hidraw1", "HID_ID=0003:00006666:0000F100\nHID_UNIQ=\n");
  AddInterface("hidraw2", "HID_ID=0003:00006666:0000F100\n", kDescriptor, /*node=*/nullptr);
  const std::string unreadable =
      "read '" + (root / "sys/class/hidraw/hidraw2/device/uevent").string() + "': no HID_UNIQ line";
  for (const auto& [name, peeked] :
       {std::pair{"hidraw0", "BOX \x1b-B"s}, {"hidraw1", ""}, {"hidraw2", unreadable}}) {
    std::string serial = "x";
    EXPECT_EQ(api::PeekSerialNumber(Node(name), &serial, &result) ? serial : result.reason, peeked);
  }
  std::uint16_t length = 0;
  api::DeviceAttributes attributes;
  EXPECT_TRUE(api::PeekOutputReportByteLength(Node("hidraw2"), &length, &result) && length == 9);
  EXPECT_TRUE(api::PeekDeviceAttributes(Node("hidraw2"), &attributes, &result) &&
              attributes.VendorID == 0x6666);
  EXPECT_FALSE(api::PeekDeviceAttributes("/elsewhere/hidraw2", &attributes, &result) || result.ok);
  fs::create_symlink(Node("hidraw1"), Node("box"));
  for (const auto& [a, b, same] : {std::tuple{"box", "hidraw1", true},
                                   {"hidraw1", "hidraw1", true},
                                   {"box", "hidraw0", false},
                                   {"missing", "hidraw0", false}})
    EXPECT_EQ(api::IsSameInterface(Node(a), Node(b)), same) << a << " " << b;

  // A device node is known by its number, whatever its name: /dev/null (1:3) is hidraw0's here,
  // whose serial is read from sysfs where the kernel cannot tell it (before 5.6).
  fs::create_directories(root / "sys/dev/char");
  fs::create_symlink("../../devices/virtual/hid/x/hidraw/hidraw0", root / "sys/dev/char/1:3");
  std::string serial;
  const api::PlatformHandle device = api::OpenDevice("/dev/null", &result);
  EXPECT_TRUE(api::GetSerialNumber(device, "/dev/null", &serial, &result) && serial == "BOX \x1b-B")
      << serial;
  api::CloseDevice(device);
  // hidraw9's node (1:3) is where the kernel's name puts it, a link to /dev/null; hidraw12's
  // (243:12) only under another name, as in a container's device directory. `dev` is the member's
  // sysfs dev attribute, `node` the node found ("": none).
  AddInterface("hidraw9", kUevent, kDescriptor, "/dev/null");
  AddInterface("hidraw12", kUevent, kDescriptor, /*node=*/nullptr);
  const bool made = mknod(Node("tv-box").c_str(), S_IFCHR | 0600, makedev(243, 12)) == 0;
  const struct {
    std::string member{}, dev{}, node{};
  } cases[] = {
      {.member = "hidraw9", .dev = "1:3\n", .node = Node("hidraw9")},
      {.member = "hidraw9", .dev = "1:4\n"},
      {.member = "hidraw9", .dev = "1:3"},
      {.member = "hidraw9", .dev = " 1:3\n"},
      {.member = "hidraw9", .dev = "1:+3\n"},
      {.member = "hidraw9", .dev = "1:3:0\n"},
      {.member = "hidraw12", .dev = "243:12\n", .node = Node("tv-box")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member + " " + c.dev);
    if (!made && c.member == "hidraw12") GTEST_SKIP() << "only root may make a device node";
    WriteFile(root / "sys/class/hidraw" / c.member / "dev", c.dev);
    std::string node;
    EXPECT_EQ(api::FindDeviceNode(Node(c.member), &node, &result), !c.node.empty());
    EXPECT_EQ(node, c.node);
  }
}

}  // namespace

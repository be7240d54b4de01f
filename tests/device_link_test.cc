// The device link against the fake platform: which interfaces it opens, which it keeps, what it
// writes, and that it leaves nothing open behind.
#include <gtest/gtest.h>

#include "device/WriteToDeviceMod.h"
#include "fake_platform.h"
#include "test_data.h"

namespace {

using FakePlatform::Fake;
using FakePlatform::FakeInterface;
using WriteToDeviceMod::Delivery;
using WriteToDeviceMod::LinkState;
using Paths = std::vector<std::string>;

constexpr APIdeclarations::DeviceAttributes kMouse = {0x046D, 0xC077};

// The first report of "1 5 123" as asked for: the report without its leading report id.
const WriteToDeviceMod::ReportRequest kRequest = [] {
  WriteToDeviceMod::ReportRequest request{};
  const auto reports = TestData::Reports("1 5 123", request.size() + 1);
  if (!reports.empty()) std::copy(reports[0].begin() + 1, reports[0].end(), request.begin());
  return request;
}();

void Start(std::vector<FakeInterface> interfaces, std::optional<std::string> serial = {}) {
  FakePlatform::Reset(std::move(interfaces));
  WriteToDeviceMod::ResetForTesting();
  WriteToDeviceMod::Choose({std::move(serial), {}}, {});
}

// One search for the first report, and a listing with the same choice: the listing marks the very
// device the search wrote to, and explains a failure in the search's words.
TEST(DeviceLink, KeepsTheFirstUsableMatchAndOpensNothingElse) {
  const struct {
    const char* name;
    std::vector<FakeInterface> interfaces;
    Paths opened;           // in order; a delivery goes to the last
    std::string problem{};  // empty: delivered
    std::optional<std::string> serial = {};
    Paths peeked = {};  // checked when given
    bool enumerationFails = false;
  } cases[] = {
      {.name = "the first of two boxes",
       .interfaces = {{.path = "/dev/hidraw0", .attributes = kMouse},
                      {.path = "/dev/hidraw1", .attributes = {0x6666, 0xF101}},
                      {.path = "/dev/hidraw2", .attributes = {0xF100, 0x6666}},
                      {.path = "/dev/hidraw3"},
                      {.path = "/dev/hidraw4"}},
       .opened = {"/dev/hidraw3"},
       .peeked = {"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"}},
      // hidraw4 peeked as the box, but its handle names another device: the path changed hands.
      {.name = "candidates that cannot be used",
       .interfaces = {{.path = "/dev/hidraw0", .attributes = {0x1234, 0x5678}, .openFails = true},
                      {.path = "/dev/hidraw1", .attributesFail = true},
                      {.path = "/dev/hidraw2", .unusableMember = true},
                      {.path = "/dev/hidraw3", .peekFails = true},
                      {.path = "/dev/hidraw4", .attributesWhenOpen = kMouse},
                      {.path = "/dev/hidraw5"}},
       .opened = {"/dev/hidraw1", "/dev/hidraw4", "/dev/hidraw5"}},
      {.name = "absent",
       .interfaces = {{.path = "/dev/hidraw0", .attributes = kMouse}},
       .opened = {},
       .problem = "no device 6666:f100 among 1 HID interfaces",
       .peeked = {"/dev/hidraw0"}},
      {.name = "a box that cannot be opened",
       .interfaces = {{.path = "/dev/hidraw0", .attributes = kMouse, .openFails = true},
                      {.path = "/dev/hidraw1", .openFails = true, .accessDenied = true},
                      {.path = "/dev/hidraw2", .attributes = {0x6666, 0xF101}}},
       .opened = {"/dev/hidraw1"},
       .problem = "device 6666:f100 found at /dev/hidraw1 but it could not be opened: open "
                  "'/dev/hidraw1': Permission denied (install the udev rule 70-tunezap.rules)"},
      {.name = "a failed enumeration",
       .interfaces = {{.path = "/dev/hidraw0"}},
       .opened = {},
       .problem = "no device 6666:f100 among 0 HID interfaces (enumerate 'hid': fake failure)",
       .enumerationFails = true},
      // hidraw0 peeked as BOX-B, but by the time it was opened another box had its number; one
      // whose identity cannot be told is not even asked for its serial.
      {.name = "a serial confirmed on the open handle",
       .interfaces = {{.path = "/dev/hidraw2", .peekFails = true},
                      {.path = "/dev/hidraw0", .serial = "BOX-B", .swappedSerial = "BOX-A"},
                      {.path = "/dev/hidraw1", .serial = "BOX-B"}},
       .opened = {"/dev/hidraw0", "/dev/hidraw1"},
       .serial = "BOX-B"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool delivered = c.problem.empty();
    Start(c.interfaces, c.serial);
    Fake.enumerationFails = c.enumerationFails;
    EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest),
              delivered ? Delivery::kDelivered : Delivery::kNotDelivered);
    EXPECT_EQ(LinkState.Problem, c.problem);
    EXPECT_EQ(Fake.opened, c.opened);
    if (!c.peeked.empty()) {
      EXPECT_EQ(Fake.peeked, c.peeked);
    }
    const Paths used = delivered ? Paths{c.opened.back()} : Paths{};
    EXPECT_EQ(LinkState.DevicePath, delivered ? c.opened.back() : "");
    Paths written;
    for (const auto& write : Fake.writes) written.push_back(write.path);
    EXPECT_EQ(written, used);
    EXPECT_EQ(Fake.openHandles, delivered ? 1 : 0) << "only the device itself stays open";
    EXPECT_EQ(Fake.badCloses, 0) << "a handle that was not open was closed";
    EXPECT_EQ(Fake.steps, delivered ? "SLHw" : "S");

    Start(c.interfaces, c.serial);
    Fake.enumerationFails = c.enumerationFails;
    std::string problem;
    Paths marked;
    for (const auto& item : WriteToDeviceMod::ListInterfaces(&problem)) {
      if (item.WouldUse) marked.push_back(item.Path);
    }
    EXPECT_EQ(marked, used);
    EXPECT_EQ(problem, c.problem);
    EXPECT_EQ(Fake.openHandles, 0);
  }
}

TEST(DeviceLink, SearchesAgainWhileAbsentAndOnceFoundNeverAgain) {
  Start({{.path = "/dev/hidraw0", .attributes = kMouse}});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(Fake.peeked.size(), 2u) << "each search starts again from the first interface";
  EXPECT_EQ(Fake.openHandles, 0);

  // Plugged in between two reports: the next report's search finds it.
  FakePlatform::Plug({.path = "/dev/hidraw1"});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
  EXPECT_EQ(Fake.writes.size(), 2u);
  EXPECT_EQ(Fake.steps, "SSSLHww");
}

TEST(DeviceLink, AFailedWriteKeepsTheDevice) {
  Start({{.path = "/dev/hidraw0", .writesBeforeFailure = 0}});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(LinkState.Problem, "write '/dev/hidraw0': No such device");
  EXPECT_TRUE(LinkState.DeviceDetected);
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  // One search, and one hold for the channel, from its first write until it ends.
  WriteToDeviceMod::EndChannel();
  WriteToDeviceMod::EndChannel();
  EXPECT_EQ(Fake.steps, "SLHwwR");
}

TEST(DeviceLink, ReportIsTheRequestZeroExtendedToTheOutputLength) {
  for (const std::uint16_t length : {std::uint16_t{9}, std::uint16_t{10}, std::uint16_t{65}}) {
    SCOPED_TRACE(length);
    Start({{.path = "/dev/hidraw0", .outputReportByteLength = length}});
    ASSERT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
    ASSERT_EQ(Fake.writes.size(), 1u);
    EXPECT_EQ(Fake.writes[0].bytes, TestData::Reports("1 5 123", length).at(0));
  }
}

TEST(DeviceLink, RefusesDevicesThatCannotTakeTheReport) {
  const std::string tooShort = "device 6666:f100 at /dev/hidraw0 has an output report length of ";
  const struct {
    FakeInterface device;
    std::string problem;
  } cases[] = {
      {{.path = "/dev/hidraw0", .outputReportByteLength = 8},
       tooShort + "8 bytes; at least 9 are needed"},
      {{.path = "/dev/hidraw0", .outputReportByteLength = 0},
       tooShort + "0 bytes; at least 9 are needed"},
      {{.path = "/dev/hidraw0", .lengthFails = true},
       tooShort + "0 bytes; at least 9 are needed (read '/dev/hidraw0/report_descriptor': fake "
                  "failure)"},
      {{.path = "/dev/hidraw0", .lockFails = true},
       "device 6666:f100 at /dev/hidraw0 is in use by another run: lock '/dev/hidraw0': held "
       "10000 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.problem);
    Start({c.device});
    EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDeviceUnusable);
    EXPECT_EQ(LinkState.Problem, c.problem);
    EXPECT_TRUE(Fake.writes.empty());
  }
}

}  // namespace

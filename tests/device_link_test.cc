// The device link against the fake platform: which interfaces it opens, which it keeps, what it
// writes, and that it leaves nothing open behind.
#include <gtest/gtest.h>

#include "device/WriteToDeviceMod.h"
#include "fake_platform.h"
#include "test_data.h"

namespace {

namespace api = APIdeclarations;
using FakePlatform::Fake;
using FakePlatform::Interface;
using WriteToDeviceMod::Delivery;
using WriteToDeviceMod::LinkState;

// The first report of "1 5 123" as asked for: the report without its leading report id.
const WriteToDeviceMod::ReportRequest kRequest = [] {
  WriteToDeviceMod::ReportRequest request{};
  const auto reports = TestData::Reports("1 5 123", request.size() + 1);
  if (!reports.empty()) std::copy(reports[0].begin() + 1, reports[0].end(), request.begin());
  return request;
}();

void Start(std::vector<FakePlatform::FakeInterface> interfaces) {
  FakePlatform::Reset(std::move(interfaces));
  WriteToDeviceMod::ResetForTesting();
}

TEST(DeviceLink, KeepsTheFirstMatchAndOpensNothingElse) {
  Start({Interface("/dev/hidraw0", 0x046D, 0xC077), Interface("/dev/hidraw1", 0x6666, 0xF101),
         Interface("/dev/hidraw2", 0xF100, 0x6666), Interface("/dev/hidraw3", 0x6666, 0xF100),
         Interface("/dev/hidraw4", 0x6666, 0xF100)});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
  EXPECT_EQ(Fake.peeked, (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2",
                                                   "/dev/hidraw3"}));
  EXPECT_EQ(Fake.opened, (std::vector<std::string>{"/dev/hidraw3"}));
  ASSERT_EQ(Fake.writes.size(), 1u);
  EXPECT_EQ(Fake.writes[0].path, "/dev/hidraw3");
  EXPECT_EQ(Fake.openHandles, 1) << "only the device itself stays open";
  EXPECT_EQ(Fake.openSets, 0);
  EXPECT_EQ(Fake.badCloses, 0);
  EXPECT_EQ(Fake.locks, 1);
}

TEST(DeviceLink, SkipsCandidatesThatCannotBeUsed) {
  auto unopenable = Interface("/dev/hidraw0", 0x1234, 0x5678);
  unopenable.openFails = true;
  auto noAttributes = Interface("/dev/hidraw1", 0x6666, 0xF100);
  noAttributes.attributesFail = true;
  auto noPath = Interface("/dev/hidraw2", 0x6666, 0xF100);
  noPath.unusableMember = true;
  auto unknown = Interface("/dev/hidraw3", 0x6666, 0xF100);
  unknown.peekFails = true;
  // Peeked as the box, but the handle names another device: the path changed hands in between.
  auto replaced = Interface("/dev/hidraw4", 0x6666, 0xF100);
  replaced.attributesWhenOpen = api::DeviceAttributes{0x046D, 0xC077};
  Start({unopenable, noAttributes, noPath, unknown, replaced,
         Interface("/dev/hidraw5", 0x6666, 0xF100)});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
  EXPECT_EQ(LinkState.DevicePath, "/dev/hidraw5");
  EXPECT_EQ(Fake.opened,
            (std::vector<std::string>{"/dev/hidraw1", "/dev/hidraw4", "/dev/hidraw5"}));
  ASSERT_EQ(Fake.writes.size(), 1u);
  EXPECT_EQ(Fake.writes[0].path, "/dev/hidraw5");
  EXPECT_EQ(Fake.badCloses, 0) << "an invalid handle was closed";
  EXPECT_EQ(Fake.openHandles, 1);
}

TEST(DeviceLink, SearchesAgainWhileAbsentAndOnceFoundNeverAgain) {
  Start({Interface("/dev/hidraw0", 0x046D, 0xC077)});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(LinkState.Problem, "no device 6666:f100 among 1 HID interfaces");
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(Fake.setsMade, 2);
  EXPECT_EQ(Fake.peeked.size(), 2u) << "each search starts again from the first interface";
  EXPECT_TRUE(Fake.opened.empty());
  EXPECT_EQ(Fake.openHandles, 0);

  // Plugged in between two reports: the next report's search finds it.
  FakePlatform::Plug(Interface("/dev/hidraw1", 0x6666, 0xF100));
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
  EXPECT_EQ(Fake.setsMade, 3);
  EXPECT_EQ(Fake.writes.size(), 2u);
}

TEST(DeviceLink, AFailedWriteKeepsTheDevice) {
  auto flaky = Interface("/dev/hidraw0", 0x6666, 0xF100);
  flaky.writesBeforeFailure = 0;
  Start({flaky});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(LinkState.Problem, "write '/dev/hidraw0': No such device");
  EXPECT_TRUE(LinkState.DeviceDetected);
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(Fake.setsMade, 1);
  // One hold for the channel, from its first write until it ends.
  WriteToDeviceMod::EndChannel();
  WriteToDeviceMod::EndChannel();
  EXPECT_EQ(Fake.steps, "SLHwwR");
}

TEST(DeviceLink, ReportIsTheRequestZeroExtendedToTheOutputLength) {
  for (const std::uint16_t length : {std::uint16_t{9}, std::uint16_t{10}, std::uint16_t{65}}) {
    SCOPED_TRACE(length);
    Start({Interface("/dev/hidraw0", 0x6666, 0xF100, length)});
    ASSERT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
    ASSERT_EQ(Fake.writes.size(), 1u);
    EXPECT_EQ(Fake.writes[0].bytes, TestData::Reports("1 5 123", length).at(0));
  }
}

TEST(DeviceLink, RefusesDevicesThatCannotTakeTheReport) {
  struct Case {
    const char* name;
    FakePlatform::FakeInterface device;
    const char* problem;
  };
  auto unreadable = Interface("/dev/hidraw0", 0x6666, 0xF100);
  unreadable.lengthFails = true;
  auto locked = Interface("/dev/hidraw0", 0x6666, 0xF100);
  locked.lockFails = true;
  const Case cases[] = {
      {"8 bytes", Interface("/dev/hidraw0", 0x6666, 0xF100, 8),
       "device 6666:f100 at /dev/hidraw0 has an output report length of 8 bytes; at least 9 are "
       "needed"},
      {"no output report", Interface("/dev/hidraw0", 0x6666, 0xF100, 0),
       "device 6666:f100 at /dev/hidraw0 has an output report length of 0 bytes; at least 9 are "
       "needed"},
      {"unreadable", unreadable,
       "device 6666:f100 at /dev/hidraw0 has an output report length of 0 bytes; at least 9 are "
       "needed (read '/dev/hidraw0/report_descriptor': fake failure)"},
      {"locked", locked,
       "device 6666:f100 at /dev/hidraw0 is in use by another run: lock '/dev/hidraw0': held "
       "10000 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start({c.device});
    EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDeviceUnusable);
    EXPECT_EQ(LinkState.Problem, c.problem);
    EXPECT_TRUE(Fake.writes.empty());
  }
}

TEST(DeviceLink, ExplainsAMatchingDeviceThatCannotBeOpened) {
  auto denied = Interface("/dev/hidraw1", 0x6666, 0xF100);
  denied.openFails = true;
  denied.accessDenied = true;
  auto otherDenied = Interface("/dev/hidraw0", 0x046D, 0xC077);
  otherDenied.openFails = true;
  Start({otherDenied, denied, Interface("/dev/hidraw2", 0x6666, 0xF101)});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(LinkState.Problem,
            "device 6666:f100 found at /dev/hidraw1 but it could not be opened: open "
            "'/dev/hidraw1': Permission denied (install the udev rule 70-tunezap.rules)");
  EXPECT_EQ(Fake.opened, (std::vector<std::string>{"/dev/hidraw1"}));
  EXPECT_EQ(Fake.badCloses, 0);
}

TEST(DeviceLink, AFailedEnumerationIsAnEmptySearch) {
  Start({Interface("/dev/hidraw0", 0x6666, 0xF100)});
  Fake.setFails = true;
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kNotDelivered);
  EXPECT_EQ(LinkState.Problem,
            "no device 6666:f100 among 0 HID interfaces (enumerate 'hid': fake failure)");
  EXPECT_EQ(Fake.openSets, 0);
}

TEST(DeviceLink, ASerialIsConfirmedOnTheOpenHandle) {
  // hidraw0 peeked as BOX-B, but by the time it was opened another box had its number.
  auto swapped = Interface("/dev/hidraw0", 0x6666, 0xF100);
  swapped.serial = "BOX-B";
  swapped.swappedSerial = "BOX-A";
  auto wanted = Interface("/dev/hidraw1", 0x6666, 0xF100);
  wanted.serial = "BOX-B";
  // One whose identity cannot be told is not even asked for its serial.
  auto unknown = Interface("/dev/hidraw2", 0x6666, 0xF100);
  unknown.peekFails = true;
  Start({unknown, swapped, wanted});
  WriteToDeviceMod::Choose({"BOX-B", {}}, {});
  EXPECT_EQ(WriteToDeviceMod::SendOutputReport(kRequest), Delivery::kDelivered);
  ASSERT_EQ(Fake.writes.size(), 1u);
  EXPECT_EQ(Fake.writes[0].path, "/dev/hidraw1");
  EXPECT_EQ(Fake.openHandles, 1);

  // --list marks the very one the run chose.
  Start({unknown, swapped, wanted});
  WriteToDeviceMod::Choose({"BOX-B", {}}, {});
  std::string problem;
  const auto listing = WriteToDeviceMod::ListInterfaces(&problem);
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(std::vector<bool>({listing[0].WouldUse, listing[1].WouldUse, listing[2].WouldUse}),
            std::vector<bool>({false, false, true}));
  EXPECT_EQ(problem, "");
}

}  // namespace

// The whole program against the fake platform: exact standard output, error lines, exit status
// and the reports that reach the device.
#include <gtest/gtest.h>

#include "device/WriteToDeviceMod.h"
#include "fake_platform.h"
#include "front/MainMod.h"
#include "test_data.h"

namespace {

using FakePlatform::Fake;
using TestData::Stdout;
using Box = FakePlatform::FakeInterface;

int RunProgram(const std::string& text, std::vector<Box> interfaces) {
  FakePlatform::Reset(std::move(interfaces));
  WriteToDeviceMod::ResetForTesting();
  return MainMod::Main(text);
}

std::vector<Box> OneDevice(std::uint16_t length = 9) {
  return {{.outputReportByteLength = length}};
}

// The error line of a channel whose first report was not delivered, for `why`.
std::string NotSent(const std::string& why) {
  return "tunezap: channel 123 not changed: report 1 of 3 not delivered (" + why +
         "); reports 2, 3 not sent\n";
}
const std::string kTooShort =
    "device 6666:f100 at /dev/hidraw0 has an output report length of 8 bytes; at least 9 are "
    "needed";
constexpr APIdeclarations::DeviceAttributes kMouse = {0x046D, 0xC077};

std::vector<std::vector<std::uint8_t>> WrittenBytes() {
  std::vector<std::vector<std::uint8_t>> bytes;
  for (const auto& write : Fake.writes) bytes.push_back(write.bytes);
  return bytes;
}

TEST(Main, WithoutArgumentsWritesUsageAndSearchesNothing) {
  EXPECT_EQ(RunProgram("", OneDevice()), MainMod::kExitCommandLine);
  EXPECT_EQ(Fake.standardOutput, Stdout("usage"));
  EXPECT_EQ(Fake.standardError, "");
  EXPECT_EQ(Fake.steps.find('S'), std::string::npos);
}

struct RunCase {
  const char* text;
  const char* output;  // the standard output, stdout/OUTPUT.out
  int status;
  const char* stderrStart;  // the first error line begins with this
};

TEST(Main, ChangesTheChannelOrReportsWhyNot) {
  const RunCase cases[] = {
      {"1 5 123", "1_5_123", 0, ""},
      {"0 9 7", "0_9_7", 0, ""},
      {"2 5 7", "2_5_7", 0, ""},
      {"0 5 1234", "0_5_1234", 0, ""},
      {"0 101", "0_101", 2, "tunezap: argument error: field 3 is missing in \"0 101\"\n"},
      {"0 5 -5", "0_5_-5", 2, "tunezap: overflow: channel -5 has a units position"},
      {"0  5 123", "field_2_empty", 2, "tunezap: conversion error: field 2 is empty\n"},
      {"abc", "abc", 2, "tunezap: conversion error: field 1 is empty\n"},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(std::string("argument text \"") + c.text + "\"");
    EXPECT_EQ(RunProgram(std::string("--syslog ") + c.text, OneDevice()), c.status);
    EXPECT_EQ(Fake.standardOutput, Stdout(c.output));
    // The outcome alone (no usage line), a failure as the very text of its line.
    const std::string line =
        Fake.standardError.substr(0, Fake.standardError.find('\n')).erase(0, 9);
    ASSERT_EQ(Fake.logged.size(), 1u);
    EXPECT_EQ(Fake.logged[0].find(c.status == 0 ? "info: channel " : "error: " + line), 0u);
    EXPECT_EQ(WrittenBytes(),
              c.status == 0 ? TestData::Reports(c.text) : std::vector<TestData::Bytes>{});
    EXPECT_EQ(Fake.steps, c.status == MainMod::kExitSuccess ? "SLHwwwGR" : "EGE");
    EXPECT_EQ(Fake.standardError.rfind(c.stderrStart, 0), 0u) << Fake.standardError;
    if (c.status == MainMod::kExitCommandLine) {
      EXPECT_EQ(Fake.steps.find('S'), std::string::npos)
          << "a command-line error must not search for the device";
      EXPECT_NE(Fake.standardError.find("tunezap: usage: tunezap <box 0/1> <value 0-255> "
                                        "<channel>\n"),
                std::string::npos);
    }
  }
}

TEST(Main, DeviceProblemsKeepStandardOutputAndExitOne) {
  const std::string inPart = "tunezap: channel 123 changed only in part: report ";
  const std::string gone = " of 3 not delivered (write '/dev/hidraw0': No such device)";
  const struct {
    const char* steps;  // as Fake.steps: the error line comes before the release of the hold
    std::size_t reportsWritten;
    std::size_t digitLines;
    std::string error;
    Box box;
  } cases[] = {
      {"SE", 0, 3, NotSent("no device 6666:f100 among 1 HID interfaces"), {.attributes = kMouse}},
      {"SLHwwER", 1, 3, inPart + "2" + gone + "; report 3 not sent\n", {.writesBeforeFailure = 1}},
      {"SLHwER", 0, 3, NotSent("write '/dev/hidraw0': No such device"), {.failingWrite = 1}},
      {"SLHwwER", 1, 3, inPart + "2" + gone + "; report 3 not sent\n", {.failingWrite = 2}},
      {"SLHwwwER", 2, 3, inPart + "3" + gone + "\n", {.failingWrite = 3}},
      {"SLE", 0, 1, NotSent(kTooShort), {.outputReportByteLength = 8}},
      {"SE",
       0,
       3,
       NotSent("device 6666:f100 found at /dev/hidraw0 but it could not be opened: "
               "open '/dev/hidraw0': Permission denied (install the udev rule 70-tunezap.rules)"),
       {.openFails = true, .accessDenied = true}},
      {"SLHwER",
       1,
       3,
       NotSent("write '/dev/hidraw0': only 8 of 9 bytes written"),
       {.shortWriteBy = 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(RunProgram("1 5 123", {c.box}), MainMod::kExitNotChanged);
    // The echo's 3 lines and 2 for each digit line.
    EXPECT_EQ(Fake.standardOutput, Stdout("1_5_123", 3 + 2 * c.digitLines));
    EXPECT_EQ(Fake.writes.size(), c.reportsWritten);
    EXPECT_EQ(Fake.steps, c.steps);
    EXPECT_EQ(Fake.standardError, c.error);
  }
}

TEST(Main, BrokenStandardOutputDoesNotStopTheChannelChange) {
  FakePlatform::Reset(OneDevice());
  WriteToDeviceMod::ResetForTesting();
  Fake.standardOutputBroken = true;
  EXPECT_EQ(MainMod::Main("1 5 123"), MainMod::kExitSuccess);
  EXPECT_EQ(Fake.writes.size(), 3u);
}

// A keyboard with a hostile serial, then three boxes told apart by serial; the last may not be
// opened. A fourth comes while a run waits.
std::vector<Box> ThreeBoxes() {
  return {{.path = "/dev/hidraw0", .attributes = kMouse, .serial = "K\x1b[2J"},
          {.path = "/dev/hidraw1", .serial = "BOX-A"},
          {.path = "/dev/hidraw2",
           .outputReportByteLength = 65,
           .serial = "BOX-B",
           .alias = "/dev/box-b"},
          {.path = "/dev/hidraw3", .openFails = true, .accessDenied = true, .serial = "BOX C"},
          {.path = "/dev/hidraw4", .serial = "BOX-D", .arrivesAtWait = 2}};
}

TEST(Main, OptionsChooseTheDeviceAndLeaveStandardOutputAsWithout) {
  const std::string channel = Stdout("1_5_123");
  const std::string usage = "tunezap: usage: tunezap <box 0/1> <value 0-255> <channel>\n";
  const std::string notABox = NotSent("/dev/hidraw0 is 046d:c077, not 6666:f100");
  const struct {
    const char* text;
    int status;
    std::string stdoutBytes;
    const char* opened;  // "": none; all three reports go to the one opened
    std::string stderrBytes;
  } cases[] = {
      {"--serial=BOX-B 1 5 123", 0, channel, "/dev/hidraw2", ""},
      {"--device /dev/box-b 1 5 123", 0, channel, "/dev/hidraw2", ""},
      {"--serial BOX-A -- 1 5 123", 0, channel, "/dev/hidraw1", ""},
      {"--device=/dev/hidraw0 1 5 123", 1, channel, "", notABox},
      {"--serial=BOX-Z 1 5 123", 1, channel, "",
       NotSent("no device 6666:f100 with serial BOX-Z among 4 HID interfaces")},
      {"--serial=BOX-A --device=/dev/box-b 1 5 123", 1, channel, "",
       NotSent("no device 6666:f100 at /dev/box-b with serial BOX-A among 4 HID interfaces")},
      {"--wait=1 --serial=BOX-D 1 5 123", 0, channel, "/dev/hidraw4", ""},
      {"--wait=9 --device=/dev/hidraw0 1 5 123", 1, channel, "", notABox},
      {"--serial=BOX-B", 2, Stdout("usage"), "", ""},
      {"--bogus 1 5 123", 2, "", "", "tunezap: unknown option \"--bogus\"\n" + usage},
      {"--device", 2, "", "", "tunezap: option \"--device\" needs a value\n" + usage},
      {"--list 1 5 123", 2, "", "",
       "tunezap: option \"--list\" takes no box, value or channel\n" + usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("argument text \"") + c.text + "\"");
    EXPECT_EQ(RunProgram(c.text, ThreeBoxes()), c.status);
    EXPECT_EQ(Fake.standardOutput, c.stdoutBytes);
    EXPECT_EQ(Fake.standardError, c.stderrBytes);
    const bool used = *c.opened != '\0';
    EXPECT_EQ(Fake.opened, used ? std::vector<std::string>{c.opened} : std::vector<std::string>{})
        << "only the chosen box may be opened";
    ASSERT_EQ(Fake.writes.size(), used ? 3u : 0u);
    for (const auto& write : Fake.writes) EXPECT_EQ(write.path, c.opened);
  }
  // The searches, waits and the lock come before the hold: a kill then acts at once.
  RunProgram("--wait=1 --serial=BOX-D 1 5 123", ThreeBoxes());
  EXPECT_EQ(Fake.steps, "SWSWSLHwwwR");
  // A gap between two reports, none after the last: the hold ends with the channel.
  RunProgram("--gap=0.1 1 5 123", OneDevice());
  EXPECT_EQ(Fake.steps, "SLHwPwPwR");
  // Another run's lock is waited for until the deadline, not 10 s.
  RunProgram("--wait=2 1 5 123", ThreeBoxes());
  EXPECT_TRUE(Fake.lockTimeout > 1900 && Fake.lockTimeout <= 2000) << Fake.lockTimeout;
}

TEST(Main, HelpAndVersionUseTheNativeLineEndAndSearchNothing) {
  for (const char* text : {"--help", "--version", "--version --help 1 5 123"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(RunProgram(text, ThreeBoxes()), MainMod::kExitSuccess);
    EXPECT_EQ(Fake.steps.find('S'), std::string::npos);
    EXPECT_EQ(Fake.standardError, "");
    EXPECT_EQ(Fake.standardOutput.find('\r'), std::string::npos);
    EXPECT_EQ(Fake.standardOutput.back(), '\n');
  }
  RunProgram("--help", {});
  for (const char* option :
       {"--serial=TEXT", "--device=PATH", "--wait=SECONDS", "--gap=SECONDS", "--syslog", "--list",
        "--json", "--help", "--version", "70-tunezap.rules", "\n  2  "}) {
    EXPECT_NE(Fake.standardOutput.find(option), std::string::npos) << option;
  }
  RunProgram("--version", {});
  EXPECT_EQ(Fake.standardOutput.rfind("tunezap 1.", 0), 0u) << Fake.standardOutput;
  EXPECT_NE(Fake.standardOutput.find("\nCopyright (c) 2026 The tunezap developers. MIT License"),
            std::string::npos);
}

TEST(Main, ListShowsEveryInterfaceAndOpensOnlyTheBoxes) {
  const std::string lines[] = {
      "/dev/hidraw0 046d:c077 K\\x1B[2J 9\n", "/dev/hidraw1 6666:f100 BOX-A 9 can be opened\n",
      "/dev/hidraw2 6666:f100 BOX-B 65 can be opened\n",
      "/dev/hidraw3 6666:f100 BOX\\x20C 9 cannot be opened: open '/dev/hidraw3': Permission denied "
      "(install the udev rule 70-tunezap.rules)\n"};
  const struct {
    const char* text;
    int marked;  // -1: none
    int status;
    const char* error;
  } cases[] = {
      {"--list", 1, 0, ""},
      {"--serial BOX-B --list", 2, 0, ""},
      {"--syslog --list --device=/dev/hidraw3", -1, 1,
       "tunezap: device 6666:f100 found at /dev/hidraw3 but it could not be opened: open "
       "'/dev/hidraw3': Permission denied (install the udev rule 70-tunezap.rules)\n"},
      {"--list --device /dev/hidraw0", -1, 1,
       "tunezap: /dev/hidraw0 is 046d:c077, not 6666:f100\n"},
      {"--list --serial=BOX-Z", -1, 1,
       "tunezap: no device 6666:f100 with serial BOX-Z among 4 HID interfaces\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(RunProgram(c.text, ThreeBoxes()), c.status);
    std::string expected;
    for (int i = 0; i < 4; ++i) expected += (i == c.marked ? "* " : "  ") + lines[i];
    EXPECT_EQ(Fake.standardOutput, expected);
    EXPECT_EQ(Fake.standardError, c.error);
    EXPECT_TRUE(Fake.logged.empty()) << "a listing is not logged, even with --syslog";
    EXPECT_EQ(Fake.opened,
              (std::vector<std::string>{"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"}));
    EXPECT_EQ(Fake.openHandles, 0);
    EXPECT_EQ(Fake.locks, 0);
    EXPECT_TRUE(Fake.writes.empty());
  }

  // The box a run would use cannot take the report: listed and marked, but not usable.
  EXPECT_EQ(RunProgram("--list", OneDevice(8)), MainMod::kExitNotChanged);
  EXPECT_EQ(Fake.standardOutput, "* /dev/hidraw0 6666:f100 - 8 can be opened\n");
  EXPECT_EQ(Fake.standardError, "tunezap: " + kTooShort + "\n");
  // With --wait, listed once the box a run would use is there.
  EXPECT_EQ(RunProgram("--wait=9 --serial=BOX-D --list", ThreeBoxes()), MainMod::kExitSuccess);
  EXPECT_NE(Fake.standardOutput.find("\n* /dev/hidraw4 6666:f100 BOX-D 9 can be opened\n"),
            std::string::npos);
  // A link a udev rule made may hold any byte: a blank must not split the path's field, and no
  // control byte may reach the terminal.
  const std::vector<Box> odd = {{.path = "/dev/tv box\x1b", .lengthFails = true},
                                {.path = "/dev/tv\tbox", .openFails = true},
                                {.attributes = {0, 0}, .unusableMember = true}};
  EXPECT_EQ(RunProgram("--list", odd), MainMod::kExitNotChanged);
  EXPECT_EQ(
      Fake.standardOutput,
      "* /dev/tv\\x20box\\x1B 6666:f100 - ? can be opened\n  /dev/tv\\x09box 6666:f100 - 9 "
      "cannot be opened: open '/dev/tv\\x09box': Input/output error\n  ? ????:???? ? ? (detail "
      "'member': fake failure)\n");
  EXPECT_EQ(Fake.standardError,
            "tunezap: device 6666:f100 at /dev/tv box\\x1B has an output report length of 0 bytes; "
            "at least 9 are needed (peek '/dev/tv box\\x1B/report_descriptor': fake failure)\n");
  // The same as JSON: the texts escaped alike, what is unknown null.
  EXPECT_EQ(RunProgram("--list --json", odd), MainMod::kExitNotChanged);
  EXPECT_EQ(
      Fake.standardOutput,
      R"j({"interfaces":[{"path":"/dev/tv box\\x1B","vendor_id":"6666","product_id":"f100",)j"
      R"j("serial":"","output_report_length":null,"box":true,"usable":true,"selected":true,)j"
      R"j("problem":"peek '/dev/tv box\\x1B/report_descriptor': fake failure"},)j"
      R"j({"path":"/dev/tv\\x09box","vendor_id":"6666","product_id":"f100","serial":"",)j"
      R"j("output_report_length":9,"box":true,"usable":false,"selected":false,)j"
      R"j("problem":"open '/dev/tv\\x09box': Input/output error"},{"path":null,)j"
      R"j("vendor_id":null,"product_id":null,"serial":null,"output_report_length":null,)j"
      R"j("box":false,"usable":false,"selected":false,"problem":"detail 'member': fake )j"
      R"j(failure"}],"problem":"device 6666:f100 at /dev/tv box\\x1B has an output report )j"
      R"j(length of 0 bytes; at least 9 are needed (peek '/dev/tv box\\x1B/report_descriptor': )j"
      R"j(fake failure)"})j"
      "\n");
  EXPECT_EQ(RunProgram("--list", {}), MainMod::kExitNotChanged);
  EXPECT_EQ(Fake.standardOutput, "");
  EXPECT_EQ(Fake.standardError, "tunezap: no device 6666:f100 among 0 HID interfaces\n");
}

}  // namespace

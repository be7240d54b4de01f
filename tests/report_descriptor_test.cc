#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/ReportDescriptor.h"
#include "test_data.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Real devices' descriptors, the fuzzer's seeds:
//   boot_keyboard: 8 modifier bits, a reserved byte, six key codes in; five LEDs and three bits of
//     padding out.
//   vendor_64: vendor-defined, 64-byte reports both ways.
//   vendor_8: vendor-defined, an 8-byte output report and a 2-byte input report.
//   several_ids: two top-level collections and three report ids: keyboard LEDs in report 1 (1
//     byte), a vendor report 2 built from two 16-byte Output items (32 bytes), and a vendor report
//     3 of 4 bytes.
//   push_pop: Push saves the report id along with size and count: report 1 gets 2 bytes before
//     and 2 after the Push/Pop pair, report 2 gets 16 bytes inside it.
Bytes Seed(const std::string& name) {
  const std::string bytes =
      TestData::ReadFile(TUNEZAP_FUZZ_CORPUS "/report_descriptor/" + name + ".bin");
  return Bytes(bytes.begin(), bytes.end());
}
const Bytes kBootKeyboard = Seed("boot_keyboard");
const Bytes kVendor64 = Seed("vendor_64");
const Bytes kVendor8 = Seed("vendor_8");
const Bytes kSeveralIds = Seed("several_ids");
const Bytes kPushPop = Seed("push_pop");

struct Case {
  const char* name;
  Bytes descriptor;
  std::uint16_t expected;
};

const Case kCases[] = {
    // Real devices.
    {"BootKeyboard", kBootKeyboard, 2},
    {"Vendor64", kVendor64, 65},
    {"Vendor8", kVendor8, 9},
    {"SeveralIdsLongestWins", kSeveralIds, 33},
    {"PushPopRestoresIdSizeCount", kPushPop, 17},

    // Counting rules.
    {"SingleIdCountedOnce", {0x85, 0x05, 0x75, 0x08, 0x95, 0x08, 0x91, 0x02}, 9},
    {"BitsRoundUp", {0x75, 0x01, 0x95, 0x09, 0x91, 0x02}, 3},
    {"FourByteCountAndOutputData", {0x75, 0x08, 0x97, 0x08, 0x00, 0x00, 0x00, 0x92, 0x02, 0x00}, 9},
    {"FeatureIsNotOutput", {0x75, 0x08, 0x95, 0x10, 0xB1, 0x02, 0x95, 0x02, 0x91, 0x02}, 3},
    // Read as short items, or skipped by one byte too few, the long item's data would change
    // Report Count and run the Output item into a truncated one.
    {"LongItemSkipped",
     {0x75, 0x08, 0x95, 0x01, 0xFE, 0x05, 0x00, 0x95, 0x10, 0x95, 0x10, 0x95, 0x91, 0x02},
     2},
    // A 4-byte Usage whose data ends in an Output item's bytes.
    {"FourByteItemSkipped", {0x75, 0x08, 0x95, 0x01, 0x0B, 0x01, 0x00, 0x91, 0x02, 0x91, 0x02}, 2},
    {"LongestThatFits", {0x75, 0x08, 0x96, 0xFE, 0xFF, 0x91, 0x02}, 65535},
    {"ZeroSizedOutputOnly", {0x75, 0x00, 0x95, 0x08, 0x91, 0x02}, 0},
    {"ReportId255", {0x85, 0xFF, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02}, 2},

    // No output report.
    {"Empty", {}, 0},
    {"InputOnly", {0x75, 0x08, 0x95, 0x08, 0x81, 0x02}, 0},

    // Nonsense.
    {"TruncatedShortItem", {0x75, 0x08, 0x95, 0x08, 0x91, 0x02, 0x26, 0xFF}, 0},
    {"TruncatedLongItem", {0x75, 0x08, 0x95, 0x01, 0x91, 0x02, 0xFE, 0x05, 0x00, 0x01, 0x02}, 0},
    {"LongItemWithoutHeader", {0x75, 0x08, 0x95, 0x01, 0x91, 0x02, 0xFE, 0x00}, 0},
    {"UnbalancedPop", {0x75, 0x08, 0x95, 0x01, 0x91, 0x02, 0xB4}, 0},
    {"ReportIdZero", {0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02}, 0},
    {"ReportIdAboveByte", {0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02}, 0},
    {"HugeSizeTimesCount",
     {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02},
     0},
    {"OneBitTooLong",
     {0x75, 0x08, 0x96, 0xFE, 0xFF, 0x91, 0x02, 0x75, 0x01, 0x95, 0x01, 0x91, 0x02},
     0},
    // 65537 bytes, which would wrap round to 1 as a uint16_t.
    {"FarTooLong", {0x75, 0x08, 0x97, 0x00, 0x00, 0x01, 0x00, 0x91, 0x02}, 0},
    // Each item alone fits; together they do not.
    {"SumTooLong", {0x75, 0x08, 0x96, 0x40, 0x9C, 0x91, 0x02, 0x91, 0x02}, 0},
};

class OutputReportByteLengthTest : public ::testing::TestWithParam<Case> {};

TEST_P(OutputReportByteLengthTest, GivesWindowsLength) {
  const Case& c = GetParam();
  // An exactly sized heap copy, so a sanitizer build catches any read past the end.
  auto copy = std::make_unique<std::uint8_t[]>(c.descriptor.size());
  if (!c.descriptor.empty()) std::memcpy(copy.get(), c.descriptor.data(), c.descriptor.size());
  EXPECT_EQ(ReportDescriptor::OutputReportByteLength(copy.get(), c.descriptor.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, OutputReportByteLengthTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

TEST(OutputReportByteLength, NullDataIsNoReport) {
  EXPECT_EQ(ReportDescriptor::OutputReportByteLength(nullptr, 0), 0);
}

TEST(OutputReportByteLength, PushDeeperThanAnyDeviceIsNonsense) {
  Bytes d = {0x75, 0x08, 0x95, 0x01, 0x91, 0x02};
  const Bytes fine = d;
  d.insert(d.end(), 1000, 0xA4);
  EXPECT_EQ(ReportDescriptor::OutputReportByteLength(d.data(), d.size()), 0);
  // A few levels, even left unpopped, are fine.
  Bytes shallow = fine;
  shallow.insert(shallow.end(), 4, 0xA4);
  EXPECT_EQ(ReportDescriptor::OutputReportByteLength(shallow.data(), shallow.size()), 2);
}

// Cutting a real descriptor anywhere must stay in bounds, and can only lose output fields.
TEST(OutputReportByteLength, EveryPrefixOfRealDescriptors) {
  for (const Bytes* d : {&kBootKeyboard, &kVendor64, &kVendor8, &kSeveralIds, &kPushPop}) {
    const std::uint16_t full = ReportDescriptor::OutputReportByteLength(d->data(), d->size());
    for (std::size_t n = 0; n < d->size(); ++n) {
      auto prefix = std::make_unique<std::uint8_t[]>(n);
      if (n > 0) std::memcpy(prefix.get(), d->data(), n);
      EXPECT_LE(ReportDescriptor::OutputReportByteLength(prefix.get(), n), full)
          << "prefix of " << n << " bytes";
    }
  }
}

}  // namespace

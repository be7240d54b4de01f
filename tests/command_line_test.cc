#include <gtest/gtest.h>

#include "front/CommandLine.h"
#include "text/Texts.h"

namespace {

using MainMod::CommandLineError;
using MainMod::Conversion;

struct ConversionCase {
  const char* text;
  Conversion expected;
  std::int16_t value;
};

TEST(ConvertToInteger16, AcceptsSignedDecimalsRoundingHalvesToEven) {
  const ConversionCase cases[] = {
      {"0", Conversion::kOk, 0},
      {"7", Conversion::kOk, 7},
      {"  42  ", Conversion::kOk, 42},
      {"+5", Conversion::kOk, 5},
      {"-5", Conversion::kOk, -5},
      {"007", Conversion::kOk, 7},
      {"2.5", Conversion::kOk, 2},
      {"3.5", Conversion::kOk, 4},
      {"-0.5", Conversion::kOk, 0},
      {"-2.5", Conversion::kOk, -2},
      {"-3.5", Conversion::kOk, -4},
      {"2.50001", Conversion::kOk, 3},
      {"2.51", Conversion::kOk, 3},
      {"2.4999", Conversion::kOk, 2},
      {"2.6", Conversion::kOk, 3},
      {".5", Conversion::kOk, 0},
      {"1.", Conversion::kOk, 1},
      {"32767", Conversion::kOk, 32767},
      {"-32768", Conversion::kOk, -32768},
      {"32767.4", Conversion::kOk, 32767},
      {"-32768.5", Conversion::kOk, -32768},
      {"000000000000000000001", Conversion::kOk, 1},
      {"32768", Conversion::kOverflow, 0},
      {"-32769", Conversion::kOverflow, 0},
      {"32767.5", Conversion::kOverflow, 0},
      {"99999.9", Conversion::kOverflow, 0},
      {"123456789012345678901234567890", Conversion::kOverflow, 0},
      {"-123456789012345678901234567890.5", Conversion::kOverflow, 0},
      {"", Conversion::kNotANumber, 0},
      {"   ", Conversion::kNotANumber, 0},
      {"x", Conversion::kNotANumber, 0},
      {"+", Conversion::kNotANumber, 0},
      {"-", Conversion::kNotANumber, 0},
      {".", Conversion::kNotANumber, 0},
      {"1 2", Conversion::kNotANumber, 0},
      {"- 5", Conversion::kNotANumber, 0},
      {"+-5", Conversion::kNotANumber, 0},
      {"1.2.3", Conversion::kNotANumber, 0},
      {"0x10", Conversion::kNotANumber, 0},
      {"&H10", Conversion::kNotANumber, 0},
      {"1,000", Conversion::kNotANumber, 0},
      {"1e3", Conversion::kNotANumber, 0},
      {"5\t", Conversion::kNotANumber, 0},
      {"\xD9\xA5", Conversion::kNotANumber, 0},  // a non-ASCII digit
  };
  for (const ConversionCase& c : cases) {
    std::int16_t value = -999;
    EXPECT_EQ(MainMod::ConvertToInteger16(c.text, &value), c.expected) << '"' << c.text << '"';
    if (c.expected == Conversion::kOk) {
      EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
  }
}

struct ParseCase {
  const char* text;
  CommandLineError error;
  const char* message;  // for an error, the exact message
  std::array<std::uint8_t, 3> positions = {};
  std::uint8_t box = 0;
  std::uint8_t field2 = 0;
};

constexpr auto kNone = CommandLineError::kNone;
constexpr auto kConversion = CommandLineError::kConversion;
constexpr auto kOverflow = CommandLineError::kOverflow;
#define CHANNEL_OVERFLOW(channel, position, value)                      \
  "overflow: channel " channel " has a " position " position of " value \
  ", outside 0..255; nothing was sent"

TEST(ParseCommandLine, CutsFieldsConvertsAndSplitsTheChannel) {
  const ParseCase cases[] = {
      {"1 5 123", kNone, "", {1, 2, 3}, 0x31, 5},
      {"0 9 7", kNone, "", {0, 0, 7}, 0x30, 9},
      {"2 5 7", kNone, "", {0, 0, 7}, 0x31, 5},
      {"255 255 999", kNone, "", {9, 9, 9}, 0x31, 255},
      {"0 5 1234", kNone, "", {12, 3, 4}, 0x30, 5},
      {"0 5 25599", kNone, "", {255, 9, 9}, 0x30, 5},
      {"0 0 0", kNone, "", {0, 0, 0}, 0x30, 0},
      {"0 5 123 ", kNone, "", {1, 2, 3}, 0x30, 5},
      {"0 5  123", kNone, "", {1, 2, 3}, 0x30, 5},
      {"0.4 5.5 122.5", kNone, "", {1, 2, 2}, 0x30, 6},
      {"-0.5 5 7", kNone, "", {0, 0, 7}, 0x30, 5},
      {"0.6 5 7", kNone, "", {0, 0, 7}, 0x31, 5},
      {"", kConversion, "conversion error: field 1 is empty"},
      {"5", kConversion, "conversion error: field 1 is empty"},
      {"x 5 7", kConversion, "conversion error: field 1 \"x\" is not a number"},
      {"0 101", CommandLineError::kArgument, "argument error: field 3 is missing in \"0 101\""},
      {"x 101", kConversion, "conversion error: field 1 \"x\" is not a number"},
      {"0  5 123", kConversion, "conversion error: field 2 is empty"},
      {"0 5 ", kConversion, "conversion error: field 3 is empty"},
      {"0 5 123 9", kConversion, "conversion error: field 3 \"123 9\" is not a number"},
      {"0 0x5 7", kConversion, "conversion error: field 2 \"0x5\" is not a number"},
      {"0 \x1b[2J 7", kConversion, "conversion error: field 2 \"\\x1B[2J\" is not a number"},
      {"256 5 7", kOverflow, "overflow: field 1 \"256\" is outside 0..255"},
      {"-1 5 7", kOverflow, "overflow: field 1 \"-1\" is outside 0..255"},
      {"0 256 7", kOverflow, "overflow: field 2 \"256\" is outside 0..255"},
      {"0 99999999999999999999 7", kOverflow,
       "overflow: field 2 \"99999999999999999999\" is outside 0..255"},
      {"0 5 32768", kOverflow, "overflow: field 3 \"32768\" is outside -32768..32767"},
      {"0 5 25600", kOverflow, CHANNEL_OVERFLOW("25600", "hundreds", "256")},
      {"0 5 -5", kOverflow, CHANNEL_OVERFLOW("-5", "units", "-5")},
      {"0 5 -50", kOverflow, CHANNEL_OVERFLOW("-50", "tens", "-5")},
      // Field 1 is converted before field 2 is looked at, field 2 before field 3.
      {"x y z", kConversion, "conversion error: field 1 \"x\" is not a number"},
      {"300 y z", kOverflow, "overflow: field 1 \"300\" is outside 0..255"},
      {"0 y 99999", kConversion, "conversion error: field 2 \"y\" is not a number"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(std::string("argument text \"") + c.text + "\"");
    const MainMod::CommandLineOutcome outcome = MainMod::ParseCommandLine(c.text);
    EXPECT_EQ(outcome.Error, c.error);
    EXPECT_EQ(outcome.Message, c.message);
    if (c.error != CommandLineError::kNone) continue;
    EXPECT_EQ(outcome.Request.BoxCode, c.box);
    EXPECT_EQ(outcome.Request.Field2Value, c.field2);
    EXPECT_EQ(outcome.Request.Positions, c.positions);
  }
}

struct OptionCase {
  const char* text;          // cut into words at each blank
  const char* message = "";  // the exact error, or "" for none
  const char* argumentText = "";
  std::optional<std::string> serial = std::nullopt;
  std::optional<std::string> device = std::nullopt;
  bool list = false;
  bool help = false;
  bool version = false;
  bool json = false;
  std::optional<unsigned> wait = std::nullopt;  // in milliseconds
};

#define WAIT_ERROR(value) \
  "option \"--wait\" needs seconds, more than 0 and at most 3600, not \"" value "\""

TEST(CutOptions, TakesLeadingOptionsAndLeavesTheArgumentTextAsItWas) {
  const OptionCase cases[] = {
      {.text = "1 5 123", .argumentText = "1 5 123"},
      {.text = ""},
      {.text = "0  5 123", .argumentText = "0  5 123"},
      {.text = "--serial=BOX-B 1 5 123", .argumentText = "1 5 123", .serial = "BOX-B"},
      {.text = "--serial BOX-B 1 5 123", .argumentText = "1 5 123", .serial = "BOX-B"},
      {.text = "--serial==x=  1 5", .argumentText = " 1 5", .serial = "=x="},
      {.text = "--device=/dev/hidraw1 --serial=A 0  5 123 ",
       .argumentText = "0  5 123 ",
       .serial = "A",
       .device = "/dev/hidraw1"},
      {.text = "--serial --list 1", .argumentText = "1", .serial = "--list"},
      {.text = "--list", .list = true},
      {.text = "--help 1 5 123", .argumentText = "1 5 123", .help = true},
      {.text = "--help --list 1", .argumentText = "1", .list = true, .help = true},
      {.text = "--version", .version = true},
      {.text = "-- --5 1 2", .argumentText = "--5 1 2"},
      {.text = "--list --", .list = true},
      {.text = "--json --list", .list = true, .json = true},
      {.text = "1 --list", .argumentText = "1 --list"},
      {.text = "-5 1 2", .argumentText = "-5 1 2"},
      {"--bogus 1 5 123", "unknown option \"--bogus\""},
      {"--5 1 2", "unknown option \"--5\""},
      {"--Serial=A", "unknown option \"--Serial\""},
      {"--seria\x1b[2J=1", "unknown option \"--seria\\x1B[2J\""},
      {"--serial", "option \"--serial\" needs a value"},
      {"--device= 1 5 123", "option \"--device\" needs a value"},
      {"--serial=A --serial=B", "option \"--serial\" is given twice"},
      {"--list=yes", "option \"--list\" takes no value"},
      {"--list 1 5 123", "option \"--list\" takes no box, value or channel"},
      {"--json 1 5 123", "option \"--json\" goes with \"--list\" only"},
      {.text = "--wait=2.5 1 5 123", .argumentText = "1 5 123", .wait = 2500},
      {.text = "--wait 10 --list", .list = true, .wait = 10000},
      {.text = "--wait=0003600.000", .wait = 3600000},
      {.text = "--wait=.0001", .wait = 1},  // rounded up, never to 0
      {"--wait=0", WAIT_ERROR("0")},
      {"--wait=3600.0001", WAIT_ERROR("3600.0001")},
      {"--wait=99999999999999999999", WAIT_ERROR("99999999999999999999")},
      {"--wait=-1", WAIT_ERROR("-1")},
      {"--wait=1e3", WAIT_ERROR("1e3")},
      {"--wait=0x10", WAIT_ERROR("0x10")},
      {"--wait=inf", WAIT_ERROR("inf")},
      {"--wait=.", WAIT_ERROR(".")},
      {"--wait=1 --wait=1", "option \"--wait\" is given twice"},
      {"--gap=1.0001", "option \"--gap\" needs seconds, from 0 to 1, not \"1.0001\""},
      {"--syslog=1", "option \"--syslog\" takes no value"},
  };
  for (const OptionCase& c : cases) {
    SCOPED_TRACE(std::string("argument text \"") + c.text + "\"");
    const APIdeclarations::ArgumentWords words = MainMod::WordsAtBlanks(c.text);
    const MainMod::OptionsOutcome outcome = MainMod::CutOptions(words);
    EXPECT_EQ(outcome.Message, c.message);
    if (*c.message != '\0') continue;
    EXPECT_EQ(outcome.ArgumentText, c.argumentText);
    EXPECT_EQ(outcome.Given.Selection.Serial, c.serial);
    EXPECT_EQ(outcome.Given.Selection.DevicePath, c.device);
    EXPECT_EQ(outcome.Given.List, c.list);
    EXPECT_EQ(outcome.Given.Help, c.help);
    EXPECT_EQ(outcome.Given.Version, c.version);
    EXPECT_EQ(outcome.Given.Json, c.json);
    EXPECT_EQ(outcome.Given.WaitMilliseconds, c.wait);
  }
}

TEST(EscapedText, LeavesTextButNothingThatCanDriveATerminal) {
  using Texts::Escaping;
  const struct {
    const char* text;
    Escaping escaping;
    const char* shown;
  } cases[] = {
      {"B\xC3\x96X \"a\\b\"", Escaping::kMessage, "B\xC3\x96X \"a\\b\""},  // UTF-8 stays
      {"\"a\\b\" c", Escaping::kQuoted, "\\\"a\\\\b\\\" c"},
      {"/dev/tv box\\", Escaping::kPathField, "/dev/tv\\x20box\\"},
      {"a \"b\"", Escaping::kTextField, "a\\x20\\\"b\\\""},
      {"\x1b[31m\x07\x7F", Escaping::kMessage, "\\x1B[31m\\x07\\x7F"},  // C0 controls, DEL
      {"\xC2\x9B"
       "0m\xC2\x80",
       Escaping::kMessage, "\\xC2\\x9B0m\\xC2\\x80"},               // C1 controls
      {"\xFF\xC3", Escaping::kMessage, "\\xFF\\xC3"},               // not UTF-8, cut short
      {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80", Escaping::kMessage,  // overlong, surrogate, too high
       "\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80"},
      {"\xC2\xA0\xE2\x82\xAC\xF0\x9F\x93\xBA", Escaping::kMessage,
       "\xC2\xA0\xE2\x82\xAC\xF0\x9F\x93\xBA"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Texts::EscapedText(c.text, c.escaping), c.shown) << c.text;
  }
}

}  // namespace

// The command line of a channel change: three blank-separated fields, the box selector, a value
// passed to the device unchanged, and the channel, which is sent as three decimal positions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/WriteToDeviceMod.h"
#include "platform/APIdeclarations.h"

namespace MainMod {

enum class CommandLineError {
  kNone,
  kConversion,  // a field is empty or not a number
  kArgument,    // fewer than three fields
  kOverflow,    // a number, or a position of the channel, out of range
};

struct ChannelRequest {
  std::uint8_t BoxCode = 0;      // '0' (0x30) for box 0, '1' (0x31) for any other box
  std::uint8_t Field2Value = 0;  // passed to the device unchanged
  std::int16_t Channel = 0;
  std::array<std::uint8_t, 3> Positions{};  // hundreds, tens, units
};

struct CommandLineOutcome {
  CommandLineError Error = CommandLineError::kNone;
  ChannelRequest Request;
  std::string Message;  // for an error: what is wrong, naming the field and its text
};

// Cuts the argument text into its fields and converts them, in order, stopping at the first
// error. A channel whose positions do not all fit in a byte is refused as a whole, so that a
// box never receives part of a channel.
CommandLineOutcome ParseCommandLine(std::string_view argumentText);

// The leading options, before the three fields.
struct Options {
  bool Help = false;
  bool Version = false;
  bool List = false;
  bool Json = false;    // --json, with --list: the listing as one JSON object
  bool Syslog = false;  // --syslog: the run's outcome goes to the system log too
  WriteToDeviceMod::DeviceSelection Selection;  // --serial=TEXT, --device=PATH
  std::optional<unsigned> WaitMilliseconds;     // --wait=SECONDS: how long to wait for a usable box
  std::optional<unsigned> GapMilliseconds;      // --gap=SECONDS: the pause between two reports
};

struct OptionsOutcome {
  Options Given;
  std::string_view ArgumentText;  // the argument text after the options, part of the input's Text
  std::string Message;            // for an error: what is wrong, naming the option; else empty
};

// Cuts the leading options from the command line. A word that starts with "--" before the first
// field is an option; "--" alone ends them. An option's value follows "=" or is the next word.
// Stops at the first error, which includes options that do not go together.
OptionsOutcome CutOptions(const APIdeclarations::ArgumentWords& arguments);

// The words of an argument text cut at each blank, as Linux joins its arguments.
APIdeclarations::ArgumentWords WordsAtBlanks(std::string_view argumentText);

enum class Conversion { kOk, kNotANumber, kOverflow };

// Converts an optionally signed decimal number with an optional fractional part, blanks before
// and after it ignored, to the nearest 16-bit integer (halves to the even neighbour). A
// well-formed number of any size beyond the 16-bit range is kOverflow.
Conversion ConvertToInteger16(std::string_view text, std::int16_t* value);

}  // namespace MainMod

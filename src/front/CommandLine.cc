#include "front/CommandLine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include "text/Texts.h"

namespace MainMod {

namespace {

constexpr char kBlank = ' ';

bool IsDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Command-line text quoted for an error message.
std::string Quoted(std::string_view text) {
  return '"' + Texts::EscapedText(text, Texts::Escaping::kQuoted) + '"';
}

// Cuts an unsigned decimal number into its digits before and after the point, leading zeros of
// the whole part dropped. False unless both are digits only and not both empty.
bool CutDecimal(std::string_view text, std::string_view* whole, std::string_view* fraction) {
  const std::size_t point = text.find('.');
  *whole = text.substr(0, point);
  *fraction = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if ((whole->empty() && fraction->empty()) || !IsDigits(*whole) || !IsDigits(*fraction)) {
    return false;
  }
  whole->remove_prefix(std::min(whole->find_first_not_of('0'), whole->size()));
  return true;
}

std::string FieldName(int field) { return "field " + std::to_string(field); }

CommandLineOutcome Failure(CommandLineError error, std::string message) {
  return {error, {}, std::move(message)};
}

// Converts one field, reporting a failure in the caller's terms. `shown` is the field as the
// user wrote it, without the blank that ends it.
bool ConvertField(int field, std::string_view text, std::string_view shown, int minimum,
                  int maximum, int* value, CommandLineOutcome* failure) {
  std::int16_t converted = 0;
  switch (ConvertToInteger16(text, &converted)) {
    case Conversion::kNotANumber:
      *failure = Failure(CommandLineError::kConversion,
                         shown.empty() ? "conversion error: " + FieldName(field) + " is empty"
                                       : "conversion error: " + FieldName(field) + " " +
                                             Quoted(shown) + " is not a number");
      return false;
    case Conversion::kOverflow:
      break;
    case Conversion::kOk:
      if (converted >= minimum && converted <= maximum) {
        *value = converted;
        return true;
      }
      break;
  }
  *failure = Failure(CommandLineError::kOverflow,
                     "overflow: " + FieldName(field) + " " + Quoted(shown) + " is outside " +
                         std::to_string(minimum) + ".." + std::to_string(maximum));
  return false;
}

// The longest --wait, in milliseconds: an hour.
constexpr unsigned kMaxWaitMilliseconds = 3600 * 1000;
// The longest --gap: a termination request waits for the pauses of a channel, and a recording
// server kills its helper about a second after asking it to end.
constexpr unsigned kMaxGapMilliseconds = 1000;

// Seconds written as decimal digits with an optional fractional part, nothing else, below 10000.
// Counted in whole milliseconds, rounded up, so that no time asked for comes out shorter or as
// none at all.
bool ParseSeconds(std::string_view text, unsigned* milliseconds) {
  std::string_view whole;
  std::string_view fraction;
  if (!CutDecimal(text, &whole, &fraction) || whole.size() > 4) return false;  // beyond 9999 s
  unsigned value = 0;
  for (const char digit : whole) value = value * 10 + static_cast<unsigned>(digit - '0');
  for (std::size_t i = 0; i < 3; ++i) {
    value = value * 10 + (i < fraction.size() ? static_cast<unsigned>(fraction[i] - '0') : 0);
  }
  if (fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string_view::npos) ++value;
  *milliseconds = value;
  return true;
}

}  // namespace

OptionsOutcome CutOptions(const APIdeclarations::ArgumentWords& arguments) {
  const std::vector<std::string>& words = arguments.Words;
  OptionsOutcome outcome;
  Options& given = outcome.Given;
  // Nothing of a refused line is used.
  const auto refuse = [&outcome](std::string message) {
    outcome.Message = std::move(message);
    outcome.ArgumentText = {};
    return outcome;
  };
  std::size_t i = 0;
  for (; i < words.size() && words[i].starts_with("--"); ++i) {
    const std::string_view word = words[i];
    if (word == "--") {
      ++i;
      break;
    }
    const std::size_t equals = word.find('=');
    const std::string_view name = word.substr(0, equals);
    const bool hasValue = equals != std::string_view::npos;

    bool* flag = name == "--help"      ? &given.Help
                 : name == "--version" ? &given.Version
                 : name == "--list"    ? &given.List
                 : name == "--json"    ? &given.Json
                 : name == "--syslog"  ? &given.Syslog
                                       : nullptr;
    if (flag != nullptr) {
      if (hasValue) return refuse("option " + Quoted(name) + " takes no value");
      *flag = true;
      continue;
    }

    std::optional<std::string>* text = name == "--serial"   ? &given.Selection.Serial
                                       : name == "--device" ? &given.Selection.DevicePath
                                                            : nullptr;
    std::optional<unsigned>* seconds = name == "--wait"  ? &given.WaitMilliseconds
                                       : name == "--gap" ? &given.GapMilliseconds
                                                         : nullptr;
    if (text == nullptr && seconds == nullptr) return refuse("unknown option " + Quoted(name));
    if (text != nullptr ? text->has_value() : seconds->has_value())
      return refuse("option " + Quoted(name) + " is given twice");
    std::string value;
    if (hasValue) {
      value = word.substr(equals + 1);
    } else if (i + 1 < words.size()) {
      value = words[++i];
    }
    // An empty value would select nothing a user can name; it is as good as a missing one.
    if (value.empty()) return refuse("option " + Quoted(name) + " needs a value");
    if (text != nullptr) {
      *text = std::move(value);
      continue;
    }
    const bool wait = seconds == &given.WaitMilliseconds;
    unsigned milliseconds = 0;
    if (!ParseSeconds(value, &milliseconds) || (wait && milliseconds == 0) ||
        milliseconds > (wait ? kMaxWaitMilliseconds : kMaxGapMilliseconds))
      return refuse("option " + Quoted(name) + " needs seconds, " +
                    (wait ? "more than 0 and at most 3600" : "from 0 to 1") + ", not " +
                    Quoted(value));
    *seconds = milliseconds;
  }
  if (i < words.size() && i < arguments.Starts.size() &&
      arguments.Starts[i] <= arguments.Text.size()) {
    outcome.ArgumentText = std::string_view(arguments.Text).substr(arguments.Starts[i]);
  }
  // What goes with a listing, said here once: it sends nothing, so it takes no channel.
  if (given.Help || given.Version) return outcome;
  if (given.List && !outcome.ArgumentText.empty()) {
    return refuse("option \"--list\" takes no box, value or channel");
  }
  if (given.Json && !given.List) return refuse("option \"--json\" goes with \"--list\" only");
  return outcome;
}

APIdeclarations::ArgumentWords WordsAtBlanks(std::string_view argumentText) {
  APIdeclarations::ArgumentWords arguments;
  arguments.Text = argumentText;
  for (std::size_t start = 0; !argumentText.empty();) {
    const std::size_t blank = argumentText.find(kBlank, start);
    arguments.Starts.push_back(start);
    arguments.Words.emplace_back(argumentText.substr(start, blank - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  return arguments;
}

Conversion ConvertToInteger16(std::string_view text, std::int16_t* value) {
  const std::size_t begin = text.find_first_not_of(kBlank);
  if (begin == std::string_view::npos) return Conversion::kNotANumber;
  std::string_view number = text.substr(begin, text.find_last_not_of(kBlank) + 1 - begin);

  bool negative = false;
  if (number.front() == '+' || number.front() == '-') {
    negative = number.front() == '-';
    number.remove_prefix(1);
  }
  std::string_view whole;
  std::string_view fraction;
  if (!CutDecimal(number, &whole, &fraction)) return Conversion::kNotANumber;
  // Any well-formed number is either in range or an overflow, however many digits it has.
  if (whole.size() > 5) return Conversion::kOverflow;
  std::int32_t magnitude = 0;
  if (!whole.empty()) std::from_chars(whole.data(), whole.data() + whole.size(), magnitude);

  // Round to nearest, a half exactly to the even neighbour.
  if (!fraction.empty()) {
    const bool beyondHalf = fraction.find_first_not_of('0', 1) != std::string_view::npos;
    if (fraction[0] > '5' || (fraction[0] == '5' && (beyondHalf || magnitude % 2 != 0))) {
      ++magnitude;
    }
  }

  const std::int32_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue < std::numeric_limits<std::int16_t>::min() ||
      signedValue > std::numeric_limits<std::int16_t>::max()) {
    return Conversion::kOverflow;
  }
  *value = static_cast<std::int16_t>(signedValue);
  return Conversion::kOk;
}

CommandLineOutcome ParseCommandLine(std::string_view argumentText) {
  // Both blanks are found first; each field is then cut and converted before the next.
  const std::size_t firstBlank = argumentText.find(kBlank);
  const std::size_t secondBlank = firstBlank == std::string_view::npos
                                      ? std::string_view::npos
                                      : argumentText.find(kBlank, firstBlank + 1);

  CommandLineOutcome outcome;
  int box = 0;
  // Field 1 keeps the blank that ends it; with no blank at all it is empty.
  const std::string_view field1 = firstBlank == std::string_view::npos
                                      ? std::string_view{}
                                      : argumentText.substr(0, firstBlank + 1);
  if (!ConvertField(1, field1, field1.substr(0, firstBlank), 0, 255, &box, &outcome)) {
    return outcome;
  }
  if (secondBlank == std::string_view::npos) {
    return Failure(CommandLineError::kArgument,
                   "argument error: field 3 is missing in " + Quoted(argumentText));
  }

  int field2 = 0;
  const std::string_view field2Text =
      argumentText.substr(firstBlank + 1, secondBlank - firstBlank - 1);
  if (!ConvertField(2, field2Text, field2Text, 0, 255, &field2, &outcome)) return outcome;

  int channel = 0;
  const std::string_view field3Text = argumentText.substr(secondBlank + 1);
  if (!ConvertField(3, field3Text, field3Text, std::numeric_limits<std::int16_t>::min(),
                    std::numeric_limits<std::int16_t>::max(), &channel, &outcome)) {
    return outcome;
  }

  const int hundreds = channel / 100;
  const int tens = (channel - 100 * hundreds) / 10;
  const int units = channel - 100 * hundreds - 10 * tens;
  const int positions[] = {hundreds, tens, units};
  const char* const names[] = {"hundreds", "tens", "units"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (positions[i] < 0 || positions[i] > 255) {
      return Failure(CommandLineError::kOverflow, "overflow: channel " + std::to_string(channel) +
                                                      " has a " + names[i] + " position of " +
                                                      std::to_string(positions[i]) +
                                                      ", outside 0..255; nothing was sent");
    }
    outcome.Request.Positions[i] = static_cast<std::uint8_t>(positions[i]);
  }

  outcome.Request.BoxCode = box == 0 ? '0' : '1';
  outcome.Request.Field2Value = static_cast<std::uint8_t>(field2);
  outcome.Request.Channel = static_cast<std::int16_t>(channel);
  return outcome;
}

}  // namespace MainMod

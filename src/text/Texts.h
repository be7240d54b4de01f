// The program's texts for messages and the listing, for every layer alike: the front end, the
// device link and the platform layers. It needs nothing but the standard library, so that any of
// them may include it without depending on another.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace Texts {

// Text from the command line or from a device, made fit for a message: control bytes become
// \xNN, so the terminal shows what was given and no more. With `quoteMarks`, quotes and
// backslashes get a backslash, so that no text can pass for another; with `blanks`, a blank is
// written \x20 too, for a field among blank-separated fields. Paths keep their backslashes
// (Windows' separators), so that a path shown can be given back.
inline std::string EscapedText(std::string_view text, bool quoteMarks = true, bool blanks = false) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || (blanks && c == ' ')) {
      char hex[5];
      // The buffer has room for the whole text: nothing can fail or be cut.
      static_cast<void>(std::snprintf(hex, sizeof hex, "\\x%02X", byte));
      escaped += hex;
    } else {
      if (quoteMarks && (c == '"' || c == '\\')) escaped += '\\';
      escaped += c;
    }
  }
  return escaped;
}

// "046d:c077": an identity as the messages and --list show it.
inline std::string IdentityText(std::uint16_t vendor, std::uint16_t product) {
  char text[10];
  // The buffer has room for the whole text: nothing can fail or be cut.
  static_cast<void>(std::snprintf(text, sizeof text, "%04x:%04x", vendor, product));
  return text;
}

// A time in milliseconds as seconds: "5", "2.5", "0.05", without trailing zeros.
inline std::string SecondsText(unsigned milliseconds) {
  std::string text = std::to_string(milliseconds / 1000);
  if (const unsigned fraction = milliseconds % 1000; fraction != 0) {
    std::string digits = std::to_string(fraction + 1000).substr(1);  // keeps leading zeros
    digits.erase(digits.find_last_not_of('0') + 1);
    text += "." + digits;
  }
  return text;
}

}  // namespace Texts

// The program's texts for messages and the listing, for every layer alike: the front end, the
// device link and the platform layers. It needs nothing but the standard library, so that any of
// them may include it without depending on another.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace Texts {

// How text from the command line, a device or the system is made fit to be shown. Every kind
// writes as \xNN each byte that could drive a terminal or is not text: a C0 control, DEL, a byte
// of a C1 control (U+0080 to U+009F, which a terminal may take for ESC [) and a byte that is not
// part of valid UTF-8. Valid UTF-8 stays as it is.
enum class Escaping {
  kMessage,    // system text and paths; backslashes kept (Windows' separators)
  kQuoted,     // text given by a user or a device: a backslash before quotes and backslashes too,
               // so that no text can pass for another
  kPathField,  // a path among blank-separated fields: blanks as \x20 too
  kTextField,  // device text among blank-separated fields: both
};

// The length of the valid UTF-8 sequence of two or more bytes at the start of `text`, when it is
// not a C1 control; 0 when there is none.
inline std::size_t PrintableSequence(std::string_view text) {
  const auto at = [text](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  const unsigned lead = at(0);
  // The range of the second byte: it rules out C1 controls, overlong forms, surrogates and code
  // points beyond U+10FFFF.
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  const unsigned low = lead == 0xC2 ? 0xA0 : lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return length;
}

inline std::string EscapedText(std::string_view text, Escaping escaping) {
  const bool quoteMarks = escaping == Escaping::kQuoted || escaping == Escaping::kTextField;
  const bool blanks = escaping == Escaping::kPathField || escaping == Escaping::kTextField;
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (const std::size_t length = byte >= 0x80 ? PrintableSequence(text.substr(i)) : 0) {
      escaped += text.substr(i, length);
      i += length - 1;
    } else if (byte < 0x20 || byte >= 0x7F || (blanks && c == ' ')) {
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

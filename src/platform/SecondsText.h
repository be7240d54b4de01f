// A time in milliseconds as seconds, for messages of the device link and of the platform layers
// alike: "5", "2.5", "0.05", without trailing zeros.
#pragma once

#include <string>

namespace APIdeclarations {

inline std::string SecondsText(unsigned milliseconds) {
  std::string text = std::to_string(milliseconds / 1000);
  if (const unsigned fraction = milliseconds % 1000; fraction != 0) {
    std::string digits = std::to_string(fraction + 1000).substr(1);  // keeps leading zeros
    digits.erase(digits.find_last_not_of('0') + 1);
    text += "." + digits;
  }
  return text;
}

}  // namespace APIdeclarations

// Argument text -> options, values or an error. Checks what must hold for any input, not just that
// the parser survives it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "front/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const MainMod::CommandLineOutcome outcome = MainMod::ParseCommandLine(text);
  if (outcome.Error == MainMod::CommandLineError::kNone) {
    const MainMod::ChannelRequest& request = outcome.Request;
    // Three fields need two blanks; the positions put together give back the channel.
    if (text.find(' ') == std::string_view::npos) std::abort();
    if (request.BoxCode != '0' && request.BoxCode != '1') std::abort();
    const int channel =
        request.Positions[0] * 100 + request.Positions[1] * 10 + request.Positions[2];
    if (channel != request.Channel || request.Positions[1] > 9 || request.Positions[2] > 9) {
      std::abort();
    }
    if (!outcome.Message.empty()) std::abort();
  } else if (outcome.Message.empty()) {
    std::abort();
  }
  // The message quotes user text but never carries a control byte to the terminal.
  for (const char c : outcome.Message) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
  }
  std::int16_t value = 0;
  MainMod::ConvertToInteger16(text, &value);

  // The same text as words with leading options: what is left is the argument text from some
  // word on, unchanged, and all of it when no word was taken as an option.
  const APIdeclarations::ArgumentWords words = MainMod::WordsAtBlanks(text);
  const MainMod::OptionsOutcome options = MainMod::CutOptions(words);
  if (!options.Message.empty()) {
    if (!text.starts_with("--") || !options.ArgumentText.empty()) std::abort();
  } else {
    if (!text.ends_with(options.ArgumentText)) std::abort();
    if (!text.starts_with("--") && options.ArgumentText != text) std::abort();
    if (options.ArgumentText.starts_with("--") && text.find(" -- ") == std::string_view::npos &&
        !text.starts_with("-- ")) {
      std::abort();  // a leading "--" word left over without "--" before it
    }
    // A value given is never empty: it would select nothing a user can name.
    for (const auto& chosen :
         {options.Given.Selection.Serial, options.Given.Selection.DevicePath}) {
      if (chosen && chosen->empty()) std::abort();
    }
  }
  for (const char c : options.Message) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
  }
  return 0;
}

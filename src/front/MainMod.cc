#include "front/MainMod.h"

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>

#include "device/WriteToDeviceMod.h"
#include "front/CommandLine.h"
#include "text/Texts.h"

namespace MainMod {

namespace api = APIdeclarations;

api::PlatformHandle ConsoleOut = api::kInvalidHandle;

namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::uint8_t kFillerByte = 0x7A;
constexpr std::string_view kUsage = "usage: tunezap <box 0/1> <value 0-255> <channel>";

// Which outcomes go to the system log as well, set once the options are known.
enum class Logging {
  kNone,
  kFailures,  // standard error is thrown away: a failure must still leave its reason somewhere
  kAll,       // --syslog
};
Logging SystemLog = Logging::kNone;

// The pause after each delivered report before the next one (--gap); 0 for none.
unsigned GapMilliseconds = 0;

// Text of the program's own for standard error or the log. Paths and reasons from the system may
// hold any byte: they are escaped here, once for every message, so that nothing but the message
// reaches the terminal or the log.
std::string MessageText(std::string_view message) {
  return Texts::EscapedText(message, Texts::Escaping::kMessage);
}

void WriteErrorLine(std::string_view line) {
  api::WriteAllBytes(api::GetStandardError(), "tunezap: " + std::string(line) + "\n");
}

// The one line of a run-ending report on standard error, and in the system log where that keeps
// failures. A failed write has nowhere else to go.
void ReportError(std::string_view message) {
  const std::string line = MessageText(message);
  WriteErrorLine(line);
  if (SystemLog != Logging::kNone) api::WriteSystemLog(api::LogLevel::kError, line);
}

// A command line that cannot be used: why, then the usage line, which is a hint for the terminal
// and not part of the outcome.
int RefuseCommandLine(std::string_view message) {
  ReportError(message);
  WriteErrorLine(kUsage);
  return kExitCommandLine;
}

// Writes lines of the program's own (not the fixed console) output, each ended the platform's way.
void WriteLines(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (const std::string_view line : lines) {
    text += line;
    text += api::NativeLineEnd();
  }
  WriteConsoleText(text);
}

int ShowHelp() {
  WriteLines({
      "usage: tunezap [--serial=TEXT] [--device=PATH] [--wait=SECONDS] [--gap=SECONDS]",
      "               [--syslog] [--] <box 0/1> <value 0-255> <channel>",
      "       tunezap --list [--json] [--serial=TEXT] [--device=PATH] [--wait=SECONDS]",
      "       tunezap --help | --version",
      "",
      "Changes the channel of a set-top box: sends one HID output report per decimal position of",
      "the channel to the box's USB HID device 6666:f100, the first one found unless chosen below.",
      "",
      "Options come before the three fields; \"--\" ends them. A value follows \"=\" or a blank.",
      "  --serial=TEXT  use only a device 6666:f100 whose serial number is exactly TEXT",
      "  --device=PATH  use only the HID interface at PATH (as --list shows it), which must be a",
      "                 device 6666:f100",
      "  --wait=SECONDS wait for a box that is not usable yet (absent, not yet open to this",
      "                 user, held by another run) until SECONDS (more than 0, at most 3600)",
      "                 after the start, as a recording server resuming from suspend needs",
      "  --gap=SECONDS  pause SECONDS (0 to 1) between two reports, for a box that drops digits",
      "  --syslog       write the outcome to the system log too; failures go there anyway when",
      "                 standard error is closed or the null device",
      "  --list         list every HID interface: path, vendor:product, serial (- for none),",
      "                 output report length, and whether a box can be opened and why not;",
      "                 * marks the one a run with the same --serial, --device would use",
      "  --json         with --list: the listing as one JSON object, for scripts",
      "  --help         show this help",
      "  --version      show the version and the licence",
      "",
      "Exit status:",
      "  0  all three reports were delivered (--list: a usable device is present)",
      "  1  the channel was not changed, or not completely; standard error says why",
      "     (--list: no usable device)",
      "  2  the command line could not be used; nothing was sent",
  });
  if (!std::string_view(TUNEZAP_UDEV_RULE).empty()) {
    WriteLines(
        {"", "Only root may open the device until the udev rule " TUNEZAP_UDEV_RULE " allows it:",
         "it is installed in lib/udev/rules.d under the install prefix, from the Debian",
         "package in /lib/udev/rules.d. See tunezap(1)."});
  }
  return kExitSuccess;
}

int ShowVersion() {
  WriteLines({"tunezap " TUNEZAP_VERSION,
              "Copyright (c) 2026 The tunezap developers. MIT License (see LICENSE)."});
  return kExitSuccess;
}

// A serial number is device text: escaped whole, backslashes included, so that no serial can pass
// for another; "-" stands for none.
std::string SerialField(std::string_view serial) {
  if (serial.empty()) return "-";
  if (serial == "-") return "\\x2D";
  return Texts::EscapedText(serial, Texts::Escaping::kTextField);
}

// A JSON string of `text` escaped as `escaping` (so it holds no control byte and is valid UTF-8),
// or null when `known` is false.
std::string JsonText(bool known, std::string_view text, Texts::Escaping escaping) {
  if (!known) return "null";
  std::string json = "\"";
  for (const char c : Texts::EscapedText(text, escaping)) {
    if (c == '"' || c == '\\') json += '\\';
    json += c;
  }
  return json + '"';
}

std::string JsonFlag(bool value) { return value ? "true" : "false"; }

// The listing as one JSON object, for scripts: the same facts as the lines, each in a field.
std::string ListingJson(const std::vector<WriteToDeviceMod::InterfaceListing>& listing,
                        const std::string& problem) {
  constexpr auto kMessage = Texts::Escaping::kMessage;
  std::string json = "{\"interfaces\":[";
  for (const WriteToDeviceMod::InterfaceListing& item : listing) {
    const std::string identity =
        Texts::IdentityText(item.Attributes.VendorID, item.Attributes.ProductID);
    if (&item != listing.data()) json += ',';
    json += "{\"path\":" + JsonText(!item.Path.empty(), item.Path, kMessage) +
            ",\"vendor_id\":" + JsonText(item.AttributesKnown, identity.substr(0, 4), kMessage) +
            ",\"product_id\":" + JsonText(item.AttributesKnown, identity.substr(5), kMessage) +
            ",\"serial\":" + JsonText(item.SerialKnown, item.Serial, Texts::Escaping::kQuoted) +
            ",\"output_report_length\":" +
            (item.LengthKnown ? std::to_string(item.OutputReportByteLength) : "null") +
            ",\"box\":" + JsonFlag(item.IsDevice) +
            ",\"usable\":" + JsonFlag(item.IsDevice && item.Openable) +
            ",\"selected\":" + JsonFlag(item.WouldUse) +
            ",\"problem\":" + JsonText(!item.Problem.empty(), item.Problem, kMessage) + "}";
  }
  return json + "],\"problem\":" + JsonText(!problem.empty(), problem, kMessage) + "}";
}

// One interface as a line of the listing: blanks separate its fields.
std::string ListingLine(const WriteToDeviceMod::InterfaceListing& item) {
  const std::string identity = item.AttributesKnown ? Texts::IdentityText(item.Attributes.VendorID,
                                                                          item.Attributes.ProductID)
                                                    : "????:????";
  std::string line = item.WouldUse ? "* " : "  ";
  line += (item.Path.empty() ? "?" : Texts::EscapedText(item.Path, Texts::Escaping::kPathField)) +
          " " + identity + " " + (item.SerialKnown ? SerialField(item.Serial) : "?") + " " +
          (item.LengthKnown ? std::to_string(item.OutputReportByteLength) : "?");
  if (item.IsDevice && item.Openable) {
    line += " can be opened";
  } else if (item.IsDevice) {
    line += " cannot be opened: " + MessageText(item.Problem);
  } else if (!item.AttributesKnown || !item.SerialKnown || !item.LengthKnown) {
    line += " (" + MessageText(item.Problem) + ")";
  }
  return line;
}

int ListInterfaces(bool json) {
  std::string problem;
  const auto listing = WriteToDeviceMod::ListInterfaces(&problem);
  if (json) WriteLines({ListingJson(listing, problem)});
  for (std::size_t i = 0; !json && i < listing.size(); ++i) WriteLines({ListingLine(listing[i])});
  if (!problem.empty()) {
    ReportError(problem);
    return kExitNotChanged;
  }
  return kExitSuccess;
}

// The outcome of a channel whose report `failed` (counted from 0) was not delivered, for `problem`;
// the reports after it were held back.
std::string NotDeliveredText(int channel, std::size_t failed, std::string_view problem) {
  std::string text = "channel " + std::to_string(channel) +
                     (failed > 0 ? " changed only in part: report " : " not changed: report ") +
                     std::to_string(failed + 1) + " of 3 not delivered (" + std::string(problem) +
                     ")";
  if (failed < 2) text += failed == 0 ? "; reports 2, 3 not sent" : "; report 3 not sent";
  return text;
}

int ChangeChannel(std::string_view argumentText) {
  const CommandLineOutcome parsed = ParseCommandLine(argumentText);
  if (parsed.Error != CommandLineError::kNone) return RefuseCommandLine(parsed.Message);
  const ChannelRequest& request = parsed.Request;

  std::size_t failed = 3;  // the first report that was not delivered; 3: none
  std::string problem;     // why it was not
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint8_t ChannelDigit = request.Positions[i];
    const std::string digit = std::to_string(ChannelDigit);
    WriteConsoleText(std::string(kLineBreak) + "1:" + std::to_string(request.BoxCode) +
                     " 2:" + digit + " 3:" + digit + std::string(kLineBreak));
    // After a report that did not arrive, a later digit alone would put another channel on the
    // box's screen.
    if (failed < 3) continue;

    const WriteToDeviceMod::ReportRequest report = {
        request.BoxCode, request.Field2Value, ChannelDigit, kFillerByte,
        kFillerByte,     kFillerByte,         kFillerByte,  kFillerByte};
    const WriteToDeviceMod::Delivery delivery = WriteToDeviceMod::SendOutputReport(report);
    if (delivery == WriteToDeviceMod::Delivery::kDelivered) {
      // Still within the writes of the channel: the box gets time to take the digit in.
      if (GapMilliseconds > 0 && i + 1 < 3) api::Pause(GapMilliseconds);
      continue;
    }
    failed = i;
    problem = WriteToDeviceMod::LatestProblem();
    if (delivery == WriteToDeviceMod::Delivery::kDeviceUnusable) break;
  }

  // Told while a request to end is still held: a server that sends SIGTERM and throws standard
  // error away must still find in the log whether the channel changed. Then the request acts.
  if (failed < 3) {
    ReportError(NotDeliveredText(request.Channel, failed, problem));
  } else if (SystemLog == Logging::kAll) {
    api::WriteSystemLog(api::LogLevel::kInformation,
                        MessageText("channel " + std::to_string(request.Channel) +
                                    " changed: box " + static_cast<char>(request.BoxCode) +
                                    ", value " + std::to_string(request.Field2Value) + ", device " +
                                    WriteToDeviceMod::DeviceInUse()));
  }
  WriteToDeviceMod::EndChannel();
  return failed < 3 ? kExitNotChanged : kExitSuccess;
}

// The run as it was before options: banner, then the usage line or the echo and the channel.
int RunArgumentText(std::string_view argumentText) {
  WriteConsoleText("Console Application Example In Visual Basic.\r\n");
  if (argumentText.empty()) {
    WriteConsoleText("\r\nSyntax: tunezap.exe <box 0/1> <channel> \r\n");
    return kExitCommandLine;
  }
  WriteConsoleText(std::string(kLineBreak) + "Command Line Parameters: " +
                   std::string(argumentText) + std::string(kLineBreak));
  return ChangeChannel(argumentText);
}

}  // namespace

bool WriteConsoleText(std::string_view text) { return api::WriteAllBytes(ConsoleOut, text); }

int Main(const api::ArgumentWords& arguments) {
  // A wait counts from here, so that the time it takes to start is part of it.
  const auto start = std::chrono::steady_clock::now();
  ConsoleOut = api::GetStandardOutput();
  const OptionsOutcome options = CutOptions(arguments);
  const Options& given = options.Given;
  // A --syslog before a faulty option still counts.
  SystemLog = given.Syslog                    ? Logging::kAll
              : api::StandardErrorDiscarded() ? Logging::kFailures
                                              : Logging::kNone;
  if (!options.Message.empty()) return RefuseCommandLine(options.Message);
  if (given.Help) return ShowHelp();
  if (given.Version) return ShowVersion();

  std::optional<WriteToDeviceMod::WaitLimit> waiting;
  if (given.WaitMilliseconds) {
    waiting = {start + std::chrono::milliseconds(*given.WaitMilliseconds), *given.WaitMilliseconds};
  }
  WriteToDeviceMod::Choose(given.Selection, waiting);
  GapMilliseconds = given.GapMilliseconds.value_or(0);
  if (given.List) {
    // A listing is looked at, not kept.
    SystemLog = Logging::kNone;
    return ListInterfaces(given.Json);
  }
  return RunArgumentText(options.ArgumentText);
}

int Main(std::string_view argumentText) { return Main(WordsAtBlanks(argumentText)); }

}  // namespace MainMod

#include "front/MainMod.h"

#include <string>

#include "device/WriteToDeviceMod.h"
#include "front/CommandLine.h"

namespace MainMod {

namespace api = APIdeclarations;

api::PlatformHandle ConsoleOut = api::kInvalidHandle;

namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::uint8_t kFillerByte = 0x7A;

// The one line of a run-ending report on standard error. A failed write has nowhere else to go.
void ReportError(const std::string& message) {
  api::WriteAllBytes(api::GetStandardError(), "tunezap: " + message + "\n");
}

// "1, 3" for the reports (numbered from 1) that were not sent.
std::string ListReports(const bool (&notSent)[3]) {
  std::string list;
  for (int i = 0; i < 3; ++i) {
    if (!notSent[i]) continue;
    if (!list.empty()) list += ", ";
    list += std::to_string(i + 1);
  }
  return list;
}

int ChangeChannel(std::string_view argumentText) {
  const CommandLineOutcome parsed = ParseCommandLine(argumentText);
  if (parsed.Error != CommandLineError::kNone) {
    ReportError(parsed.Message);
    ReportError("usage: tunezap <box 0/1> <value 0-255> <channel>");
    return kExitCommandLine;
  }
  const ChannelRequest& request = parsed.Request;

  bool notSent[3] = {true, true, true};
  bool anySent = false;
  std::string problem;  // why the latest undelivered report was not delivered
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint8_t ChannelDigit = request.Positions[i];
    const std::string digit = std::to_string(ChannelDigit);
    WriteConsoleText(std::string(kLineBreak) + "1:" + std::to_string(request.BoxCode) +
                     " 2:" + digit + " 3:" + digit + std::string(kLineBreak));

    const WriteToDeviceMod::ReportRequest report = {
        request.BoxCode, request.Field2Value, ChannelDigit, kFillerByte,
        kFillerByte,     kFillerByte,         kFillerByte,  kFillerByte};
    const WriteToDeviceMod::Delivery delivery = WriteToDeviceMod::SendOutputReport(report);
    if (delivery == WriteToDeviceMod::Delivery::kDelivered) {
      notSent[i] = false;
      anySent = true;
      continue;
    }
    problem = WriteToDeviceMod::LinkState.Problem;
    if (delivery == WriteToDeviceMod::Delivery::kDeviceUnusable) break;
  }

  if (!notSent[0] && !notSent[1] && !notSent[2]) return kExitChanged;
  ReportError("channel " + std::to_string(request.Channel) +
              (anySent ? " changed only in part: reports " : " not changed: reports ") +
              ListReports(notSent) + " of 3 not sent: " + problem);
  return kExitNotChanged;
}

}  // namespace

bool WriteConsoleText(std::string_view text) { return api::WriteAllBytes(ConsoleOut, text); }

int Main(std::string_view argumentText) {
  ConsoleOut = api::GetStandardOutput();
  WriteConsoleText("Console Application Example In Visual Basic.\r\n");
  if (argumentText.empty()) {
    WriteConsoleText("\r\nSyntax: tunezap.exe <box 0/1> <channel> \r\n");
    return kExitCommandLine;
  }
  WriteConsoleText(std::string(kLineBreak) + "Command Line Parameters: " +
                   std::string(argumentText) + std::string(kLineBreak));
  return ChangeChannel(argumentText);
}

}  // namespace MainMod

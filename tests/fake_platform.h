// A scriptable stand-in for the platform layer: a list of HID interfaces whose behaviour each
// test sets, and a record of everything the program asked of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/APIdeclarations.h"

namespace FakePlatform {

// A case sets the few fields it needs: {.path = "/dev/hidraw1", .openFails = true}.
struct FakeInterface {
  std::string path = "/dev/hidraw0";
  APIdeclarations::DeviceAttributes attributes = {0x6666, 0xF100};  // the box unless told
  std::uint16_t outputReportByteLength = 9;
  bool unusableMember = false;  // enumerated, but without a path
  bool peekFails = false;       // its identity cannot be told without opening it
  // The identity the open handle reports, when another device took the path after the peek.
  std::optional<APIdeclarations::DeviceAttributes> attributesWhenOpen{};
  bool openFails = false;
  bool accessDenied = false;  // with openFails: the reason is a permission problem
  bool attributesFail = false;
  bool lengthFails = false;
  bool lockFails = false;
  int writesBeforeFailure = -1;  // writes that succeed before every later one fails; -1: all
  int failingWrite = 0;          // the one write (numbered from 1) that fails; 0: none
  int shortWriteBy = 0;          // each write accepts this many bytes fewer than it is given
  std::string serial{};          // "" : none
  std::string alias{};           // another path that names this interface (a link to it)
  std::string swappedSerial{};   // not empty: what an open handle reports (another device's)
  int arrivesAtWait = 0;  // enumerated (with those after it) once the program waited this often
};

struct Write {
  std::string path;
  std::vector<std::uint8_t> bytes;
};

struct State {
  std::vector<FakeInterface> interfaces;
  bool enumerationFails = false;

  std::string standardOutput;
  std::string standardError;
  bool standardOutputBroken = false;  // every write to standard output fails

  // What the program did.
  std::vector<std::string> opened;  // paths, in the order they were opened (successfully or not)
  std::vector<std::string> peeked;  // paths whose identity was asked without opening them
  std::vector<Write> writes;
  int openHandles = 0;  // open device handles right now
  int badCloses = 0;    // closes of a handle that was not open
  int locks = 0;
  unsigned lockTimeout = 0;  // of the latest lock
  bool watching = false;     // begun before the first search: a later watch would miss changes
  int waits = 0;             // waits that could see a change
  // The order of searches (S), waits (W), locks (L), writes (w), pauses (P), termination holds
  // (H) and releases (R), writes to standard error (E) and to the system log (G).
  std::string steps;
  std::vector<std::string> logged;  // system log lines, each "info: LINE" or "error: LINE"
};

extern State Fake;

// Empties the state; `interfaces` become the present HID interfaces.
void Reset(std::vector<FakeInterface> interfaces = {});

// Plugs in one more interface, enumerated after the present ones.
void Plug(FakeInterface interface);

}  // namespace FakePlatform

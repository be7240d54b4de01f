// One pass over the report descriptor's items, summing the bits of every Output main item into
// the report its current Report ID names. Anything that does not parse gives 0, so a broken
// descriptor reads as a device without an output report rather than as a wrong length.
#include "platform/linux/ReportDescriptor.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace ReportDescriptor {

namespace {

// Item prefixes with the size bits (the low two) cleared.
constexpr std::uint8_t kOutput = 0x90;       // main
constexpr std::uint8_t kReportSize = 0x74;   // global
constexpr std::uint8_t kReportId = 0x84;     // global
constexpr std::uint8_t kReportCount = 0x94;  // global
constexpr std::uint8_t kPush = 0xA4;         // global
constexpr std::uint8_t kPop = 0xB4;          // global
constexpr std::uint8_t kLongItem = 0xFE;

// Real descriptors push one or two levels; a deeper stack is taken as garbage.
constexpr std::size_t kMaxPushDepth = 32;

// The most bits a report may hold so that its length, id byte included, still fits uint16_t.
constexpr std::uint64_t kMaxReportBits =
    (std::uint64_t{std::numeric_limits<std::uint16_t>::max()} - 1) * 8;

// The global items that matter here; Push and Pop save and restore them as a whole.
struct Globals {
  std::uint32_t reportId = 0;  // 0: no Report ID item seen yet
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
};

}  // namespace

std::uint16_t OutputReportByteLength(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) return 0;

  // Bits per report, indexed by report id; slot 0 is the report of a descriptor without ids.
  std::array<std::uint64_t, 256> bits{};
  std::array<Globals, kMaxPushDepth> stack{};
  std::size_t depth = 0;
  Globals globals;

  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t prefix = data[pos];
    const std::size_t left = size - pos - 1;  // bytes after the prefix

    if (prefix == kLongItem) {
      // Long items: a data size byte, a tag byte, then the data. None of them describe fields.
      if (left < 2 || left - 2 < data[pos + 1]) return 0;
      pos += 3u + data[pos + 1];
      continue;
    }

    const std::size_t dataSize = (prefix & 3u) == 3u ? 4u : (prefix & 3u);
    if (left < dataSize) return 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < dataSize; ++i) {
      value |= static_cast<std::uint32_t>(data[pos + 1 + i]) << (8u * i);
    }
    pos += 1 + dataSize;

    switch (static_cast<std::uint8_t>(prefix & 0xFCu)) {
      case kReportSize:
        globals.reportSize = value;
        break;
      case kReportCount:
        globals.reportCount = value;
        break;
      case kReportId:
        // Id 0 is reserved, and an id is one byte on the wire.
        if (value == 0 || value > 255) return 0;
        globals.reportId = value;
        break;
      case kPush:
        if (depth == stack.size()) return 0;
        stack[depth++] = globals;
        break;
      case kPop:
        if (depth == 0) return 0;
        globals = stack[--depth];
        break;
      case kOutput: {
        // Both factors are below 2^32, so the product fits; the sum is bounded before adding.
        const std::uint64_t fieldBits =
            static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
        std::uint64_t& reportBits = bits[globals.reportId];
        if (fieldBits > kMaxReportBits - reportBits) return 0;
        reportBits += fieldBits;
        break;
      }
      default:
        break;
    }
  }

  std::uint64_t longest = 0;
  for (const std::uint64_t b : bits) {
    if (b > longest) longest = b;
  }
  if (longest == 0) return 0;
  return static_cast<std::uint16_t>((longest + 7) / 8 + 1);
}

}  // namespace ReportDescriptor

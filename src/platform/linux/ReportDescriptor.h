// Reading a HID report descriptor the way Windows' HID parser reports capabilities.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ReportDescriptor {

// The length Windows gives as HIDP_CAPS.OutputReportByteLength for a device with this report
// descriptor: the longest output report in bytes, plus one byte for the report id (counted even
// when the device uses no report ids). 0 when the descriptor has no output report, or when it
// cannot be made sense of. Never reads outside data[0..size).
std::uint16_t OutputReportByteLength(const std::uint8_t* data, std::size_t size);

}  // namespace ReportDescriptor

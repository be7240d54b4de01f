// Feeds arbitrary bytes to the report descriptor reader. The sanitizers catch out-of-bounds reads,
// overflows and other undefined behaviour; the checks below catch results that cannot be right.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/linux/ReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint16_t length = ReportDescriptor::OutputReportByteLength(data, size);
  // The reader keeps no state between calls.
  if (ReportDescriptor::OutputReportByteLength(data, size) != length) std::abort();
  // A report holds at least one bit, and its length the report id byte on top.
  if (length == 1) std::abort();
  return 0;
}

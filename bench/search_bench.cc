// In-process timings: the device search over generated trees through the Linux layer, and the
// report descriptor reader on descriptors of a few shapes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../tests/device_tree.h"
#include "device/WriteToDeviceMod.h"
#include "platform/linux/ReportDescriptor.h"

namespace {

namespace fs = std::filesystem;

// Vendor page, one output report of `count` 8-bit fields, no report ids.
std::string VendorDescriptor(std::uint8_t count) {
  return {'\x06', '\x00', '\xFF', '\x09', '\x01', '\xA1', '\x01', '\x15',
          '\x00', '\x26', '\xFF', '\x00', '\x75', '\x08', '\x95', static_cast<char>(count),
          '\x09', '\x01', '\x91', '\x02', '\xC0'};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// `count` interfaces under `root`, the box last when `withBox`, shaped as the kernel publishes
// them: class entries and device links are symlinks.
void MakeTree(const fs::path& root, int count, bool withBox) {
  fs::create_directories(root / "dev");
  fs::create_directories(root / "sys/class/hidraw");
  for (int n = 0; n < count; ++n) {
    const std::string name = "hidraw" + std::to_string(n);
    const bool box = withBox && n == count - 1;
    const std::string hid =
        std::string("0003:") + (box ? "6666:F100." : "046D:C31C.") + std::to_string(1000 + n);
    const fs::path device = root / "sys/devices/virtual/hid" / hid;
    fs::create_directories(device / "hidraw" / name);
    WriteFile(device / "uevent", std::string("DRIVER=hid-generic\nHID_ID=0003:0000") +
                                     (box ? "6666:0000F100" : "046D:0000C31C") +
                                     "\nHID_NAME=bench\n");
    WriteFile(device / "report_descriptor", VendorDescriptor(8));
    fs::create_symlink("../../../" + hid, device / "hidraw" / name / "device");
    fs::create_directory_symlink("../../devices/virtual/hid/" + hid + "/hidraw/" + name,
                                 root / "sys/class/hidraw" / name);
    WriteFile(root / "dev" / name, "");
  }
}

// Trees made once per process, removed at exit.
struct Trees {
  std::map<std::pair<int, bool>, fs::path> made;
  fs::path base;
  Trees() {
    std::string pattern = (fs::temp_directory_path() / "tunezap_bench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    base = pattern;
  }
  ~Trees() { fs::remove_all(base); }
  const fs::path& Get(int count, bool withBox) {
    auto [where, added] = made.try_emplace({count, withBox});
    if (added) {
      where->second = base / (std::to_string(count) + (withBox ? "-box" : "-none"));
      MakeTree(where->second, count, withBox);
    }
    return where->second;
  }
};

Trees& AllTrees() {
  static Trees trees;
  return trees;
}

void Search(benchmark::State& state, bool withBox) {
  const int count = static_cast<int>(state.range(0));
  const fs::path& root = AllTrees().Get(count, withBox);
  DeviceTree::Use(root / "sys", root / "dev");
  for (auto _ : state) {
    const bool found = WriteToDeviceMod::LocateDevice();
    if (found != withBox) state.SkipWithError("the search did not end as the tree says");
    if (WriteToDeviceMod::LinkState.HIDHandle != APIdeclarations::kInvalidHandle) {
      APIdeclarations::CloseDevice(WriteToDeviceMod::LinkState.HIDHandle);
    }
    WriteToDeviceMod::ResetForTesting();
  }
  state.SetComplexityN(count);
  state.counters["per_interface"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void BM_LocateDeviceLast(benchmark::State& state) { Search(state, true); }
void BM_LocateDeviceAbsent(benchmark::State& state) { Search(state, false); }
BENCHMARK(BM_LocateDeviceLast)->Arg(1)->Arg(64)->Arg(1024)->Complexity(benchmark::oN);
BENCHMARK(BM_LocateDeviceAbsent)->Arg(64)->Arg(1024)->Complexity(benchmark::oN);

void Parse(benchmark::State& state, const std::string& descriptor) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(descriptor.data());
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReportDescriptor::OutputReportByteLength(data, descriptor.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(descriptor.size()));
}

// The box's own shape: one vendor output report of eight bytes.
void BM_ParseVendorDescriptor(benchmark::State& state) { Parse(state, VendorDescriptor(8)); }
BENCHMARK(BM_ParseVendorDescriptor);

// The longest descriptor the kernel passes on (4096 bytes): 195 copies of the vendor collection
// with report ids 1..195, so that every item is read and every report counted.
void BM_ParseLongestDescriptor(benchmark::State& state) {
  std::string descriptor;
  for (int id = 1; descriptor.size() + 23 <= 4096; ++id) {
    std::string one = VendorDescriptor(static_cast<std::uint8_t>(id % 64 + 1));
    one.insert(7, {'\x85', static_cast<char>(id)});  // Report ID inside the collection
    descriptor += one;
  }
  Parse(state, descriptor);
}
BENCHMARK(BM_ParseLongestDescriptor);

}  // namespace

// bench_search --tree ROOT COUNT last|none makes one tree for whole runs of the program and ends.
int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--tree") {
    MakeTree(argv[2], std::atoi(argv[3]), std::string(argv[4]) == "last");
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

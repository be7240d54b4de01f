// The expected outputs every suite shares, read from tests/data (TUNEZAP_TEST_DATA, the build's
// absolute path of it): the exact standard output of a run and the reports it sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace TestData {

using Bytes = std::vector<std::uint8_t>;

// The whole file at `path`, byte for byte; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The standard output stdout/ID.out, up to and including its line `lines` (all of it when 0).
// Each line ends in CR LF.
inline std::string Stdout(const std::string& id, std::size_t lines = 0) {
  const std::string all = ReadFile(TUNEZAP_TEST_DATA "/stdout/" + id + ".out");
  std::size_t end = 0;
  for (std::size_t i = 0; i < lines && end != std::string::npos; ++i) {
    end = all.find('\n', end);
    if (end != std::string::npos) ++end;
  }
  return lines == 0 ? all : all.substr(0, end);
}

// The reports a run of "BOX VALUE CHANNEL" sends, each `length` bytes (zeros after the first 9);
// none when reports.txt has no such run.
inline std::vector<Bytes> Reports(const std::string& run, std::size_t length = 9) {
  std::istringstream lines(ReadFile(TUNEZAP_TEST_DATA "/reports.txt"));
  std::vector<Bytes> reports;
  for (std::string line; reports.empty() && std::getline(lines, line);) {
    if (line.rfind(run + ": ", 0) != 0) continue;
    std::istringstream hex(line.substr(run.size() + 2));
    for (std::string report; hex >> report;) {
      Bytes bytes(length, 0);
      for (std::size_t i = 0; i * 2 < report.size() && i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(std::stoul(report.substr(i * 2, 2), nullptr, 16));
      }
      reports.push_back(bytes);
    }
  }
  return reports;
}

}  // namespace TestData

#pragma once
// Test helpers: talking to a serial device without blocking forever, and
// the upload line the unit expects.

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ScratchFolder.h"
#include "serialdevice/AwDevice.h"

namespace kestrel {

// Reads until `want` has arrived (or ten seconds pass); returns all it read.
inline std::string ReadUntil(TApdSerialDevice& device, const std::string& want) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    uint8_t buffer[256];
    const int n = device.Read(buffer, sizeof buffer);
    if (n > 0) {
      got.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return got;
}

// Writes everything (or gives up after ten seconds); returns how much went.
inline size_t WriteAll(TApdSerialDevice& device, const std::string& bytes) {
  size_t at = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (at < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    const int n = device.Write(reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                               static_cast<int>(bytes.size() - at));
    if (n > 0) {
      at += static_cast<size_t>(n);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return at;
}

// The upload line for `data` and the byte-sum checksum.
inline std::string UploadLineFor(const std::string& address, const std::string& data) {
  uint32_t sum = 0;
  for (unsigned char c : data) sum += c;
  char line[160];
  std::snprintf(line, sizeof line, "LF %s %zu %x 1.0\r", address.c_str(), data.size(),
                sum & 0xFFFF);
  return line;
}

using test::ReadFile;
using test::TScratch;

}  // namespace kestrel

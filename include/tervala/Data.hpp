#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace tervala {

/// Bytes: secrets, request and reply bodies, archives.
using Data = std::vector<std::uint8_t>;

/// An absolute point in time.
using Date = std::chrono::system_clock::time_point;

}  // namespace tervala

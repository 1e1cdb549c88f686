#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/SecureMemory.hpp"

namespace tervala::platform {

/// One account of an authenticator's export, its enumerations as the wire numbers them.
struct MigrationEntry {
  SecretBytes secret;
  std::string name;
  std::string issuer;
  std::int32_t algorithm = 0;  ///< 1 SHA1, 2 SHA256, 3 SHA512, 4 MD5, 0 unspecified
  std::int32_t digits = 0;     ///< 1 six, 2 eight, 0 unspecified
  std::int32_t type = 0;       ///< 1 HOTP, 2 TOTP, 0 unspecified
  std::int64_t counter = 0;
};

/// One export payload: a batch of accounts.
struct MigrationBatch {
  std::vector<MigrationEntry> entries;
  std::int32_t version = 1;
  std::int32_t batchSize = 1;
  std::int32_t batchIndex = 0;
  std::int32_t batchId = 0;
};

/// Reads a serialised payload with the protobuf library; absent when it is not one.
std::optional<MigrationBatch> decodeMigrationPayload(std::span<const std::uint8_t> bytes);

/// Serialises a payload; absent when the protobuf library fails.
std::optional<SecretBytes> encodeMigrationPayload(const MigrationBatch& batch);

/// A random batch id, shared by the payloads of one export.
std::int32_t randomBatchId() noexcept;

}  // namespace tervala::platform

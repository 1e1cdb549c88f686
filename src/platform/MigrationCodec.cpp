#include "platform/MigrationCodec.hpp"

#include <openssl/rand.h>

#include <climits>

#include "src/platform/MigrationPayload.pb.h"  // generated from MigrationPayload.proto

namespace tervala::platform {
namespace {

using Payload = migration::MigrationPayload;

// The generated message keeps the secrets in std::string fields, which no allocator of ours
// reaches: each is wiped whole (its inline buffer too) before the message goes.
struct WipedPayload {
  Payload message;
  WipedPayload() = default;
  WipedPayload(const WipedPayload&) = delete;
  WipedPayload& operator=(const WipedPayload&) = delete;
  ~WipedPayload() {
    for (auto& parameters : *message.mutable_otp_parameters()) {
      cleanse(*parameters.mutable_secret());
    }
  }
};

}  // namespace

std::optional<MigrationBatch> decodeMigrationPayload(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  WipedPayload payload;
  if (!payload.message.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return std::nullopt;
  }
  MigrationBatch batch;
  batch.version = payload.message.version();
  batch.batchSize = payload.message.batch_size();
  batch.batchIndex = payload.message.batch_index();
  batch.batchId = payload.message.batch_id();
  batch.entries.reserve(static_cast<std::size_t>(payload.message.otp_parameters_size()));
  for (const auto& parameters : payload.message.otp_parameters()) {
    MigrationEntry entry;
    entry.secret.assign(parameters.secret().begin(), parameters.secret().end());
    entry.name = parameters.name();
    entry.issuer = parameters.issuer();
    entry.algorithm = parameters.algorithm();
    entry.digits = parameters.digits();
    entry.type = parameters.type();
    entry.counter = parameters.counter();
    batch.entries.push_back(std::move(entry));
  }
  return batch;
}

std::optional<SecretBytes> encodeMigrationPayload(const MigrationBatch& batch) {
  WipedPayload payload;
  payload.message.set_version(batch.version);
  payload.message.set_batch_size(batch.batchSize);
  payload.message.set_batch_index(batch.batchIndex);
  payload.message.set_batch_id(batch.batchId);
  for (const MigrationEntry& entry : batch.entries) {
    auto* const parameters = payload.message.add_otp_parameters();
    parameters->mutable_secret()->reserve(entry.secret.size());
    parameters->mutable_secret()->assign(entry.secret.begin(), entry.secret.end());
    parameters->set_name(entry.name);
    parameters->set_issuer(entry.issuer);
    parameters->set_algorithm(entry.algorithm);
    parameters->set_digits(entry.digits);
    parameters->set_type(entry.type);
    parameters->set_counter(entry.counter);
  }
  const std::size_t size = payload.message.ByteSizeLong();
  if (size > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  SecretBytes bytes(size);
  if (!payload.message.SerializeToArray(bytes.data(), static_cast<int>(size))) {
    return std::nullopt;
  }
  return bytes;
}

std::int32_t randomBatchId() noexcept {
  std::uint32_t id = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id) != 1) {
    return 0;  // the id only tells batches of different exports apart
  }
  return static_cast<std::int32_t>(id & 0x7FFFFFFFU);
}

}  // namespace tervala::platform

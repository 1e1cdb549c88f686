#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Checked.hpp>
#include <tervala/OtpAuthUri.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Google Authenticator's account transfer: `otpauth-migration://offline?data=...`, the data a
/// Base64 protobuf payload holding a batch of accounts.
class TERVALA_EXPORT OtpMigration {
 public:
  /// Accounts per payload when exporting, as the authenticator's own export writes them.
  static constexpr std::size_t defaultBatchSize = 10;
  /// Longest migration URI read.
  static constexpr std::size_t maxLength = 1U << 20U;

  /// The accounts of one migration URI as keys; refused as a whole when any account is one the
  /// generators cannot make (the reason names its place, never its secret).
  static Checked<std::vector<OtpAuthUri>> importUri(std::string_view migrationUri);

  /// Migration URIs holding `keys`, `batchSize` accounts each, all with one batch id. Refused
  /// for a key the format cannot carry (a period other than 30, the Steam form).
  static Checked<std::vector<std::string>> exportUris(const std::vector<OtpAuthUri>& keys,
                                                      std::size_t batchSize = defaultBatchSize);
};

}  // namespace tervala

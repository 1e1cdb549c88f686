#pragma once

#include <string_view>

#include <tervala/OtpAuthUri.hpp>

namespace tervala {

/// The library's own road to a key's secret (canonical Base32), for the migration export.
struct OtpAuthUriSecret {
  static std::string_view base32(const OtpAuthUri& uri) noexcept;
};

}  // namespace tervala

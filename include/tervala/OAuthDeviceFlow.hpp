#pragma once

#include <string_view>
#include <variant>

#include <tervala/CancelToken.hpp>
#include <tervala/DeviceAuthorization.hpp>
#include <tervala/Error.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The device authorization grant (RFC 8628) for machines without a browser: start it, show the
/// user code and verification URI, then poll the token endpoint until the user has decided.
///
/// Both steps run on the calling thread through the shared `OAuthContext`'s transport and read
/// its timeout, trust delegate, client secret and scope when they begin.
class TERVALA_EXPORT OAuthDeviceFlow {
 public:
  using Started = std::variant<DeviceAuthorization, Error>;

  /// Asks the device authorization endpoint at `url` for codes; the context's scope goes as the
  /// "scope" field, items joined by blanks. An error reply, or a reply without device code, user
  /// code, verification URI or lifetime, or with a control character in a shown text, is an error.
  static Started start(std::string_view url, std::string_view clientId);

  /// Polls the token endpoint at `url` with the device code, waiting the interval before each
  /// poll: "authorization_pending" polls again, "slow_down" adds 5 seconds to the interval, a
  /// request that timed out doubles it; a token or any other reply is the result, parsed as the
  /// grants' replies are (by the context's `replyProfile`). Ends with "expired_token" once the
  /// codes' lifetime is over, and at once as cancelled (NSURLErrorDomain -999) when `cancel` is
  /// cancelled. Never null.
  static OAuthContext::Result poll(std::string_view url, std::string_view clientId,
                                   const DeviceAuthorization& authorization, const CancelToken& cancel);
};

}  // namespace tervala

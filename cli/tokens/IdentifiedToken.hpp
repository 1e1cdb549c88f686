#pragma once

#include <string>
#include <utility>

#include <tervala/Coder.hpp>
#include <tervala/OAuthToken.hpp>

namespace tervala::cli {

/// A token stored with the claims of the ID token that was verified when it was granted: one
/// more archive key, which the library's own reading ignores, so tokens stored before and after
/// load alike everywhere.
class IdentifiedToken : public OAuthToken {
 public:
  static constexpr std::string_view claimsKey = "idTokenClaims";

  IdentifiedToken(const OAuthToken& token, std::string claims)
      : OAuthToken(token), claims_(std::move(claims)) {}

  void encodeWithCoder(Coder& coder) const override {
    OAuthToken::encodeWithCoder(coder);
    coder.encodeObject(claims_, claimsKey);
  }

 private:
  std::string claims_;
};

}  // namespace tervala::cli

// Authenticator export decoding: the input is the payload's bytes. Whatever they are, the import
// gives keys or a reason; imported keys export and import back to the same keys.
#include <cstdint>
#include <string>
#include <vector>

#include <tervala/OtpMigration.hpp>

#include "FuzzCheck.hpp"
#include "platform/Base64.hpp"

using tervala::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)tervala::fuzz::startCapturingLines();
  const auto base64 = tervala::platform::encodeBase64({data, size});
  std::string uri = "otpauth-migration://offline?data=";
  for (const char c : base64) {
    uri += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
  }
  const auto keys = tervala::OtpMigration::importUri(uri);
  if (!keys) {
    require(!keys.reason().empty() && keys.reason().find('\n') == std::string::npos, "a one-line reason");
    return 0;
  }
  require(!keys->empty(), "an accepted payload holds an account");
  const auto exported = tervala::OtpMigration::exportUris(*keys, 3);
  if (!exported) {
    return 0;  // Steam keys cannot travel back
  }
  std::vector<tervala::OtpAuthUri> back;
  for (const std::string& batch : *exported) {
    const auto imported = tervala::OtpMigration::importUri(batch);
    require(imported.ok(), "an exported batch imports");
    back.insert(back.end(), imported->begin(), imported->end());
  }
  require(back.size() == keys->size(), "every account comes back");
  for (std::size_t i = 0; i < back.size(); ++i) {
    require(back[i].toString(true) == (*keys)[i].toString(true), "each account comes back unchanged");
  }
  return 0;
}

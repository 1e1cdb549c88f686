// Key URI parsing: any text either gives a key whose built URI parses back to the same key, or a
// one-line reason that never repeats the secret.
#include <cstdint>
#include <string>
#include <string_view>

#include <tervala/OtpAuthUri.hpp>

#include "FuzzCheck.hpp"

using tervala::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)tervala::fuzz::startCapturingLines();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = tervala::OtpAuthUri::parse(text);
  if (!parsed) {
    require(!parsed.reason().empty(), "a refusal has a reason");
    require(parsed.reason().find('\n') == std::string::npos, "the reason is one line");
    // A secret-like value (16 or more upper-case Base32 characters) never shows in the reason;
    // shorter or other values may match the reason's own words by chance.
    const std::size_t secret = text.find("secret=");
    if (secret != std::string_view::npos) {
      const std::string_view value = text.substr(secret + 7, text.substr(secret + 7).find_first_of("&#"));
      const bool secretLike =
          value.size() >= 16 &&
          value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567") == std::string_view::npos;
      require(!secretLike || parsed.reason().find(value) == std::string::npos,
              "the reason does not repeat the secret");
    }
    return 0;
  }
  for (const bool all : {false, true}) {
    const std::string built = parsed->toString(all);
    const auto again = tervala::OtpAuthUri::parse(built);
    require(again.ok(), "a built URI parses");
    require(again->parameters() == parsed->parameters(), "a built URI gives back the same key");
    require(again->toString(all) == built, "building is stable");
  }
  return 0;
}

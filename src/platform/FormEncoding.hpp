#pragma once

#include <string_view>

#include "platform/SecureMemory.hpp"

namespace tervala::platform {

/// Encodes one name or value of an application/x-www-form-urlencoded body: a blank becomes "+",
/// ASCII letters, digits and "*-._" stay, every other byte becomes "%" and two upper-case hex
/// digits. Room for the longest result is taken at once, so no partial copy is left behind.
SecretText formUrlEncode(std::string_view text);

}  // namespace tervala::platform

#pragma once

#include <string>
#include <string_view>

namespace tervala::platform {

/// Encodes one name or value of an application/x-www-form-urlencoded body: a blank becomes "+",
/// ASCII letters, digits and "*-._" stay, every other byte becomes "%" and two upper-case hex
/// digits.
std::string formUrlEncode(std::string_view text);

}  // namespace tervala::platform

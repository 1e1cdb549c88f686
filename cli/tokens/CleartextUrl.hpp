#pragma once

#include <string>
#include <string_view>

namespace tervala::cli {

/// True for a plain http:// URL whose host is not this machine (127.0.0.0/8, ::1, localhost):
/// credentials sent there cross the network readable by anyone on the way.
bool isCleartextToAnotherHost(std::string_view url);

/// The refusal of such a URL, saying what would have been sent ("credentials", "the token").
std::string cleartextRefusal(std::string_view sent);

}  // namespace tervala::cli

#pragma once

#include <iosfwd>
#include <string_view>

namespace tervala::cli {

/// A manual page in roff, written from the command table: tervala(1) for an empty `group` (the
/// commands outside any group, the global options, secrets, environment and exit status), else
/// tervala-GROUP(1) for the commands of that group ("token"). False for an unknown group.
bool writeManPage(std::ostream& out, std::string_view group = {});

}  // namespace tervala::cli

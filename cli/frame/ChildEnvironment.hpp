#pragma once

#include <vector>

namespace tervala::cli {

/// The environment for a program the tool starts (the browser, a clipboard tool): the tool's own
/// without any TERVALA_ variable, as posix_spawn takes it (null-terminated; the strings are the
/// process's own). The secrets among those variables would live on in the child, which needs none
/// of them; DISPLAY, WAYLAND_DISPLAY, PATH, HOME and XDG_* pass through.
std::vector<char*> childEnvironment();

}  // namespace tervala::cli

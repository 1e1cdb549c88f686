#pragma once

#include <string>

namespace tervala::cli {

/// Asks the desktop to open a URL in the user's browser with `xdg-open`, started from an
/// argument vector (never through a shell) with its standard output sent to /dev/null, so the
/// tool's own output stays clean. Does not wait for it. The browser gets the tool's environment
/// without any TERVALA_ variable: the secrets among them would live on in the browser, and it
/// needs none of them (DISPLAY, WAYLAND_DISPLAY, PATH, HOME, XDG_* pass through).
class BrowserLauncher {
 public:
  /// True when xdg-open could be started.
  static bool open(const std::string& url);
};

}  // namespace tervala::cli

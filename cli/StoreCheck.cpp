#include "StoreCheck.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "VisibleText.hpp"

namespace tervala::cli {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr owns it
  }
};

}  // namespace

std::optional<std::string> settingsFileProblem(const std::filesystem::path& file) {
  const std::string shown = "the settings file '" + visible(file.string()) + "'";
  std::error_code error;
  const auto status = std::filesystem::status(file, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    return std::nullopt;
  }
  if (error) {
    return shown + " cannot be reached: " + error.message();
  }
  if (status.type() != std::filesystem::file_type::regular) {
    return shown + " is not a regular file";
  }
  const std::unique_ptr<std::FILE, FileCloser> opened(std::fopen(file.c_str(), "rbe"));
  if (!opened) {
    return shown + " cannot be read: " + std::generic_category().message(errno);
  }
  // Every SQLite database starts with these 16 bytes; an empty file is a store not yet written.
  constexpr std::string_view header{"SQLite format 3\0", 16};
  std::array<char, 16> start{};
  const std::size_t got = std::fread(start.data(), 1, start.size(), opened.get());
  if (got != 0 && std::string_view(start.data(), got) != header) {
    return shown + " is damaged or not a settings database";
  }
  return std::nullopt;
}

std::string missingTokenReason(SettingsStore& store) {
  if (auto problem = settingsFileProblem(store.location())) {
    return std::move(*problem);
  }
  if (store.data(OAuthToken::settingsKey)) {
    return "the token stored in '" + visible(store.location().string()) + "' cannot be read";
  }
  return "no stored token";
}

}  // namespace tervala::cli

#include "tokens/Profile.hpp"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <system_error>

#include <nlohmann/json.hpp>
#include <tervala/SettingsStore.hpp>

#include "frame/Arguments.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

constexpr std::size_t maxNameSize = 32;

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The name becomes part of settings keys and of messages: a short, plain charset keeps both safe.
bool isProfileName(std::string_view name) {
  return !name.empty() && name.size() <= maxNameSize && name.front() != '-' && name.front() != '_' &&
         std::all_of(name.begin(), name.end(), isNameCharacter);
}

std::optional<std::string> textOf(const nlohmann::json& document, std::string_view key) {
  const auto found = document.find(key);
  if (found == document.end() || !found->is_string()) {
    return std::nullopt;
  }
  return found->get<std::string>();
}

}  // namespace

std::variant<Profile, UsageError> Profile::of(const GlobalOptions& global, const Arguments& arguments) {
  std::optional<std::string> name(arguments.value("profile"));
  if (name && !isProfileName(*name)) {
    return UsageError{"--profile needs a name of 1 to 32 letters, digits, '-' and '_', not '" +
                      visible(*name) + "'"};
  }
  auto place =
      name ? TokenPlace::choose(global, arguments, "profile." + *name + ".token", " for profile " + *name)
           : TokenPlace::choose(global, arguments);
  if (auto* error = std::get_if<UsageError>(&place)) {
    return std::move(*error);
  }
  return Profile(std::move(name), std::move(std::get<TokenPlace>(place)));
}

std::vector<std::string> Profile::names(const GlobalOptions& global) {
  const auto file = global.settingsPath ? std::optional(std::filesystem::path(*global.settingsPath))
                                        : SettingsStore::defaultLocation();
  std::error_code error;
  if (!file || !std::filesystem::exists(*file, error)) {
    return {};
  }
  SettingsStore store(*file);
  std::vector<std::string> names;
  constexpr std::string_view prefix = "profile.";
  constexpr std::string_view suffix = ".account";
  for (const auto& key : store.keys(prefix)) {
    const auto name = std::string_view(key).substr(prefix.size());
    // Only what the tool itself could have written: the names reach a shell's completion.
    if (name.ends_with(suffix) && isProfileName(name.substr(0, name.size() - suffix.size()))) {
      names.emplace_back(name.substr(0, name.size() - suffix.size()));
    }
  }
  return names;
}

int runTokenProfiles(const GlobalOptions& global, const Arguments& /*arguments*/, const Io& io) {
  for (const auto& name : Profile::names(global)) {
    io.out << name << '\n';
  }
  return io.out.flush() ? success : failure;
}

Profile::Account Profile::account() const {
  if (!name_) {
    return {};
  }
  const auto bytes = SettingsStore::standard().data("profile." + *name_ + ".account");
  if (!bytes) {
    return {};
  }
  // Written by this tool, but the file is the user's: anything unexpected counts as not remembered.
  const auto document = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
  if (!document.is_object()) {
    return {};
  }
  return {textOf(document, "url"), textOf(document, "client_id"), textOf(document, "scope")};
}

bool Profile::remember(const Account& account) const {
  if (!name_) {
    return true;
  }
  nlohmann::json document = nlohmann::json::object();
  for (const auto& [key, value] : {std::pair{"url", &account.url}, std::pair{"client_id", &account.clientId},
                                   std::pair{"scope", &account.scope}}) {
    if (*value) {
      document[key] = **value;
    }
  }
  const std::string text = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return SettingsStore::standard().setData("profile." + *name_ + ".account", Data(text.begin(), text.end()));
}

}  // namespace tervala::cli

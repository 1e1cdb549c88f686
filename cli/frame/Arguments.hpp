#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SecureMemory.hpp"

namespace tervala::cli {

/// A command line read against an option table: switches, values, secrets (already read from
/// wherever they came) and the operand.
class Arguments {
 public:
  /// Whether the switch `name` was given.
  [[nodiscard]] bool has(std::string_view name) const { return switches_.contains(name); }
  /// The value of `name`, when given.
  [[nodiscard]] std::optional<std::string_view> value(std::string_view name) const;
  /// Every value of a repeatable option, in order.
  [[nodiscard]] std::vector<std::string> values(std::string_view name) const;
  /// The secret `name`, when it came from any of its sources; never empty.
  [[nodiscard]] const platform::SecretText* secret(std::string_view name) const;
  /// Whether the secret `name` came from its environment variable rather than the command line.
  [[nodiscard]] bool fromEnvironment(std::string_view name) const { return fromEnvironment_.contains(name); }
  /// The command's last operand (the secret, where there are two); null when it takes none.
  [[nodiscard]] const platform::SecretText* operand() const {
    return operands_.empty() ? nullptr : &operands_.back();
  }
  /// The command's first operand, as `operand()` for a command that takes one.
  [[nodiscard]] const platform::SecretText* firstOperand() const {
    return operands_.empty() ? nullptr : &operands_.front();
  }
  /// Every operand, in order.
  [[nodiscard]] const std::vector<platform::SecretText>& operands() const noexcept { return operands_; }
  /// `--help` or `-h` was given: nothing else was checked or read.
  [[nodiscard]] bool helpWanted() const noexcept { return helpWanted_; }

 private:
  friend class ArgumentParser;
  bool helpWanted_ = false;
  std::set<std::string, std::less<>> switches_;
  std::map<std::string, std::vector<std::string>, std::less<>> values_;
  std::map<std::string, platform::SecretText, std::less<>> secrets_;
  std::set<std::string, std::less<>> fromEnvironment_;
  std::vector<platform::SecretText> operands_;
};

}  // namespace tervala::cli

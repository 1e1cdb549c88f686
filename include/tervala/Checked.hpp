#pragma once

#include <optional>
#include <string>
#include <utility>

namespace tervala {

/// A value, or the one-line reason it could not be made. The reason never holds a secret, so a
/// caller may print it as it is.
template <class T>
class Checked {
 public:
  static Checked accept(T value) { return Checked(std::move(value), {}); }
  static Checked refuse(std::string reason) { return Checked(std::nullopt, std::move(reason)); }

  [[nodiscard]] bool ok() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  /// The value; only when `ok()`. From a temporary it is moved out by value, so that
  /// `for (const auto& x : *f())` keeps what it walks alive.
  [[nodiscard]] const T& value() const& { return *value_; }
  [[nodiscard]] T value() && { return std::move(*value_); }
  const T& operator*() const& { return *value_; }
  T operator*() && { return std::move(*value_); }
  const T* operator->() const { return &*value_; }
  /// Why it was refused; empty when `ok()`.
  [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

 private:
  Checked(std::optional<T> value, std::string reason)
      : value_(std::move(value)), reason_(std::move(reason)) {}
  std::optional<T> value_;
  std::string reason_;
};

}  // namespace tervala

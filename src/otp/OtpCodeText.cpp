#include "otp/OtpCodeText.hpp"

#include <string_view>

namespace tervala {
namespace {

constexpr std::string_view steamAlphabet = "23456789BCDFGHJKMNPQRTVWXY";
constexpr std::size_t steamLength = 5;

}  // namespace

std::size_t writeDecimalCode(std::uint32_t truncated, std::int64_t digits, CodeText& text) noexcept {
  std::uint32_t value = truncated % (digits == 8 ? 100'000'000U : 1'000'000U);
  const auto width = static_cast<std::size_t>(digits == 8 ? 8 : 6);
  for (std::size_t i = width; i > 0; --i) {
    text[i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return width;
}

std::size_t writeSteamCode(std::uint32_t truncated, CodeText& text) noexcept {
  std::uint32_t value = truncated;
  for (std::size_t i = 0; i < steamLength; ++i) {
    text[i] = steamAlphabet[value % steamAlphabet.size()];
    value /= steamAlphabet.size();
  }
  return steamLength;
}

}  // namespace tervala

#include "frame/Suggestion.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace tervala::cli {
namespace {

// Levenshtein distance, one row at a time.
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::optional<std::string_view> closestWord(std::string_view typed, std::span<const std::string_view> known) {
  std::optional<std::string_view> best;
  std::size_t bestDistance = std::min<std::size_t>(3, (typed.size() + 1) / 2);
  for (const auto word : known) {
    const std::size_t distance = editDistance(typed, word);
    if (distance < bestDistance) {
      best = word;
      bestDistance = distance;
    }
  }
  return best;
}

std::string didYouMean(std::string_view typed, std::span<const std::string_view> known) {
  const auto word = closestWord(typed, known);
  return word ? " (did you mean '" + std::string(*word) + "'?)" : std::string();
}

}  // namespace tervala::cli

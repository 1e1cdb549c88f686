#include "store/RefusalRecord.hpp"

#include <charconv>
#include <cstdint>
#include <vector>

namespace tervala {
namespace {

constexpr std::string_view header = "refusal 1\n";
constexpr std::size_t mostEntries = 64;

void put(std::string& text, std::string_view field) {
  text += std::to_string(field.size());
  text += ':';
  text += field;
}

template <typename Number>
std::optional<Number> number(std::string_view text) {
  Number value{};
  const auto* end = text.data() + text.size();
  const auto [stop, problem] = std::from_chars(text.data(), end, value);
  return problem == std::errc{} && stop == end ? std::optional(value) : std::nullopt;
}

// Reads LENGTH:BYTES fields off the front of a text.
class Fields {
 public:
  explicit Fields(std::string_view text) : rest_(text) {}
  std::optional<std::string_view> next() {
    const std::size_t colon = rest_.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 7) {
      return std::nullopt;
    }
    const auto length = number<std::size_t>(rest_.substr(0, colon));
    if (!length || *length > rest_.size() - colon - 1) {
      return std::nullopt;
    }
    const auto field = rest_.substr(colon + 1, *length);
    rest_.remove_prefix(colon + 1 + *length);
    return field;
  }
  [[nodiscard]] bool done() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace

std::string RefusalRecord::text() const {
  std::string text(header);
  put(text, fingerprint);
  put(text,
      std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count()));
  put(text, error.domain);
  put(text, std::to_string(error.code));
  put(text, std::to_string(error.userInfo.size()));
  for (const auto& [key, value] : error.userInfo) {
    put(text, key);
    put(text, value);
  }
  return text;
}

std::optional<RefusalRecord> RefusalRecord::parse(std::string_view text) {
  if (!text.starts_with(header)) {
    return std::nullopt;
  }
  Fields fields(text.substr(header.size()));
  const auto print = fields.next();
  const auto at = fields.next();
  const auto domain = fields.next();
  const auto code = fields.next();
  const auto count = fields.next();
  if (!print || !at || !domain || !code || !count) {
    return std::nullopt;
  }
  const auto nanoseconds = number<std::int64_t>(*at);
  const auto codeNumber = number<std::int64_t>(*code);
  const auto entries = number<std::size_t>(*count);
  if (!nanoseconds || !codeNumber || !entries || *entries > mostEntries) {
    return std::nullopt;
  }
  RefusalRecord record;
  record.fingerprint = *print;
  record.at =
      std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(*nanoseconds)));
  record.error.domain = *domain;
  record.error.code = *codeNumber;
  for (std::size_t index = 0; index < *entries; ++index) {
    const auto key = fields.next();
    const auto value = fields.next();
    if (!key || !value) {
      return std::nullopt;
    }
    record.error.userInfo.insert_or_assign(std::string(*key), std::string(*value));
  }
  if (!fields.done()) {
    return std::nullopt;
  }
  return record;
}

}  // namespace tervala

#include "Input.hpp"

#include <istream>

namespace tervala::cli {

std::optional<std::string> readStandardInput(std::istream& in) {
  std::string text;
  text.resize(maxStandardInput + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > maxStandardInput) {
    return std::nullopt;
  }
  if (text.ends_with('\n')) {
    text.pop_back();
    if (text.ends_with('\r')) {
      text.pop_back();
    }
  }
  return text;
}

}  // namespace tervala::cli

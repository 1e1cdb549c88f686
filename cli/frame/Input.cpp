#include "frame/Input.hpp"

#include "frame/VisibleText.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <istream>
#include <memory>
#include <ostream>
#include <system_error>

namespace tervala::cli {
namespace {

void dropOneLineBreak(platform::SecretText& text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
    if (!text.empty() && text.back() == '\r') {
      text.pop_back();
    }
  }
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr owns it
  }
};

// 'PATH', safe to print.
std::string quoted(std::string_view path) {
  std::string text(1, '\'');
  text += visible(path);
  text += '\'';
  return text;
}

}  // namespace

std::optional<platform::SecretText> readStandardInput(std::istream& in) {
  // Sized once up front: growing would leave copies, even if each freed block is wiped.
  platform::SecretText text(maxSecretInput + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > maxSecretInput) {
    return std::nullopt;
  }
  dropOneLineBreak(text);
  return text;
}

std::variant<platform::SecretText, UsageError> readSecretFile(const std::string& path,
                                                              std::ostream& warnings) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "re"));
  if (!file) {
    return UsageError{"cannot read '" + visible(path) + "': " + std::generic_category().message(errno)};
  }
  // Unbuffered, so no copy of the secret stays behind in a stdio buffer.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  struct stat status {};
  if (::fstat(::fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
    return UsageError{quoted(path) + " is not a regular file"};
  }
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    warnings << "tervala: warning: '" << visible(path)
             << "' can be read by others than its owner; make it 0600\n";
  }
  platform::SecretText text(maxSecretInput + 1);
  const std::size_t got = std::fread(text.data(), 1, text.size(), file.get());
  if (std::ferror(file.get()) != 0) {
    return UsageError{"cannot read '" + visible(path) + "'"};
  }
  if (got > maxSecretInput) {
    return UsageError{quoted(path) + " holds more than 64 KiB"};
  }
  text.resize(got);
  dropOneLineBreak(text);
  return text;
}

}  // namespace tervala::cli

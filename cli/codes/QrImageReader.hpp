#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "codes/SharedLibrary.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::cli {

/// The text of the QR code in a PNG image, such as a screenshot of a service's set-up page:
/// libpng reads the image in grey, libzbar finds the code. Both are loaded only by `load`, so that
/// no other command maps them or libzbar's long chain of libraries.
class QrImageReader {
 public:
  /// The file names the two libraries are loaded by.
  struct Libraries {
    std::string zbar = "libzbar.so.0";
    std::string png = "libpng16.so.16";
  };

  /// The most pixels an image may have, checked on its header before anything is allocated: a
  /// screenshot of several screens side by side, while a small file saying 100000x100000 is not
  /// read.
  static constexpr std::uint64_t maxPixels = 40'000'000;

  /// Loads both libraries; when either is missing or lacks a function, one line naming the
  /// Debian package that ships it.
  static std::variant<QrImageReader, std::string> load(const Libraries& names);
  static std::variant<QrImageReader, std::string> load();

  QrImageReader(QrImageReader&& other) noexcept;
  QrImageReader& operator=(QrImageReader&& other) noexcept;
  QrImageReader(const QrImageReader&) = delete;
  QrImageReader& operator=(const QrImageReader&) = delete;
  ~QrImageReader();

  /// The text of the QR code in the PNG image at `path` (shown several times, the same text), or
  /// one line saying why there is none: not a readable PNG image, too many pixels, no QR code,
  /// or codes of different texts. The text is never part of the line: it holds a secret.
  [[nodiscard]] std::variant<platform::SecretText, std::string> read(const std::string& path) const;

  /// The libraries' functions the reader calls, looked up once when they are loaded.
  struct Functions;

 private:
  QrImageReader(SharedLibrary zbar, SharedLibrary png, std::unique_ptr<const Functions> functions) noexcept;

  // Declared before the functions that point into them, so they are unloaded last.
  SharedLibrary zbar_;
  SharedLibrary png_;
  std::unique_ptr<const Functions> functions_;
};

}  // namespace tervala::cli

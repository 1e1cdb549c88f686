#include "frame/TerminalQrCode.hpp"

#include <qrencode.h>

#include <memory>
#include <ostream>
#include <string>

#include "platform/SecureMemory.hpp"

namespace tervala::cli {
namespace {

struct QrCodeFree {
  void operator()(QRcode* code) const noexcept {
    if (code->data != nullptr) {
      platform::cleanse(code->data,
                        static_cast<std::size_t>(code->width) * static_cast<std::size_t>(code->width));
    }
    QRcode_free(code);
  }
};

constexpr int quietZone = 4;

}  // namespace

bool writeTerminalQrCode(std::string_view text, std::ostream& out) {
  platform::SecretText terminated(text.begin(), text.end());
  terminated.push_back('\0');
  const std::unique_ptr<QRcode, QrCodeFree> code(
      QRcode_encodeString(terminated.data(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
  if (!code) {
    return false;
  }
  const int width = code->width;
  const int size = width + 2 * quietZone;
  // Whether the module at (row, column) of the whole picture, quiet zone included, is light.
  const auto light = [&](int row, int column) {
    row -= quietZone;
    column -= quietZone;
    if (row < 0 || column < 0 || row >= width || column >= width) {
      return true;
    }
    return (code->data[static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                       static_cast<std::size_t>(column)] &
            1U) == 0;
  };
  platform::SecretText line;
  line.reserve(static_cast<std::size_t>(size) * 3 + 1);  // three bytes a cell
  for (int row = 0; row < size; row += 2) {
    line.clear();
    for (int column = 0; column < size; ++column) {
      const bool top = light(row, column);
      const bool bottom = row + 1 < size && light(row + 1, column);
      const std::string_view cell = top ? (bottom ? "\u2588" : "\u2580") : (bottom ? "\u2584" : " ");
      line.insert(line.end(), cell.begin(), cell.end());
    }
    line.push_back('\n');
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  }
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace tervala::cli

#pragma once

#include <iosfwd>
#include <string_view>

namespace tervala::cli {

/// Writes `text` as a QR code (error correction M) in UTF-8 half blocks, two modules a line,
/// with the standard four-module quiet zone. Light modules are the drawn ones, so the code reads
/// right on a terminal with light text on a dark background, as qrencode's UTF8 output does.
/// False when the text does not fit in a QR code or memory ran out. The symbol's module data is
/// wiped before it is freed: `text` may be a Key URI with its secret.
bool writeTerminalQrCode(std::string_view text, std::ostream& out);

}  // namespace tervala::cli

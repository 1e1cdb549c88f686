#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "frame/Commands.hpp"

namespace tervala::cli {

class Arguments;

/// The non-blank lines of `text`, each without its line break ("\n" or "\r\n"); views into it.
std::vector<std::string_view> nonBlankLines(std::string_view text);

/// Whether `export` was asked for accounts of the book (`--book`, `--include-secrets` or a
/// PATTERN) rather than for Key URIs on standard input.
bool exportsFromBook(const Arguments& arguments);

/// `export` of the book's accounts: migration URIs or their QR codes, only with
/// `--include-secrets`.
int exportBook(const GlobalOptions& global, const Arguments& arguments, const Io& io, std::size_t batchSize);

}  // namespace tervala::cli

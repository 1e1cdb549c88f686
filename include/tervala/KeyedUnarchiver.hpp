#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <tervala/Coder.hpp>
#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

class OAuthToken;

/// Reads the archives that `KeyedArchiver` writes. Anything else (bytes that are not such a
/// document, another version, unknown kinds, oversized or too deeply nested input) is refused
/// with an absent result; nothing is thrown.
class TERVALA_EXPORT KeyedUnarchiver {
 public:
  /// Archives larger than this are refused unread.
  static constexpr std::size_t maxArchiveSize = 1U << 20U;
  /// Deeper nesting than the archive's own (document, entry list, entry, dictionary) is refused.
  static constexpr std::size_t maxNesting = 4;

  /// An archive's root class name and entries.
  struct Contents {
    std::string className;
    Coder coder;
  };

  /// The token archived in `data` (its archive constructor runs), or null when the bytes are
  /// unreadable, of another version or class, or the constructor refuses the entries.
  static std::shared_ptr<OAuthToken> unarchiveObjectWithData(const Data& data);

  /// The class name and entries of the archive in `data`, or absent when it is unreadable.
  static std::optional<Contents> contents(const Data& data);
};

}  // namespace tervala

#pragma once

#include <optional>
#include <string_view>

#include <tervala/Coder.hpp>
#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

class OAuthToken;

/// Writes an object's keyed entries as a versioned archive: a JSON document that records the
/// root object's class name and each entry with its kind, dates to the microsecond.
class TERVALA_EXPORT KeyedArchiver {
 public:
  /// The version written into, and the only one accepted from, an archive.
  static constexpr int archiveVersion = 1;

  /// The archive of `token` (its `encodeWithCoder` runs), or absent when the entries cannot be
  /// written (a text that is not UTF-8).
  static std::optional<Data> archivedDataWithRootObject(const OAuthToken& token);

  /// The archive of `coder`'s entries under the class name `className`, or absent when they
  /// cannot be written.
  static std::optional<Data> archivedData(const Coder& coder, std::string_view className);
};

}  // namespace tervala

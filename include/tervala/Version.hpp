#pragma once

#include <tervala/export.hpp>

extern "C" {
/// The library's version number, 1.0.
TERVALA_EXPORT extern const double TervalaVersionNumber;
/// The library's what(1) version string, ending in a line feed.
TERVALA_EXPORT extern const char TervalaVersionString[];
}

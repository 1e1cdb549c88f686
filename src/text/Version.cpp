#include <tervala/Version.hpp>

extern "C" {
const double TervalaVersionNumber = 1.0;
const char TervalaVersionString[] = "@(#)PROGRAM:Tervala  PROJECT:Quillon-1\n";
}

// Built against an installed Tervala: proves the headers, the library and the package files fit.
#include <cstdio>
#include <cstring>

#include <tervala/tervala.hpp>

int main() {
  tervala::setDebugSink(nullptr);
  if (TervalaVersionNumber != 1.0 || std::strncmp(TervalaVersionString, "@(#)PROGRAM:Tervala", 19) != 0) {
    return 1;
  }
  std::puts("consumer: linked");
  return 0;
}

// Built against an installed Tervala: proves the headers, the library and the package files fit.
#include <cstdio>
#include <cstring>

#include <tervala/tervala.hpp>

int main() {
  tervala::setDebugSink(nullptr);
  if (TervalaVersionNumber != 1.0 || std::strncmp(TervalaVersionString, "@(#)PROGRAM:Tervala", 19) != 0) {
    return 1;
  }
  // RFC 4226 Appendix D, counter 0.
  const auto hotp = tervala::HotpGeneratorContext::make("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", 6,
                                                        tervala::HmacAlgorithm::SHA1, 0);
  if (!hotp || hotp->create() != "755224") {
    return 1;
  }
  std::puts("consumer: linked, HOTP code 755224");
  return 0;
}

#include "tokens/CleartextUrl.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

// Only forms that certainly name this machine count; anything unusual counts as another host,
// which errs on the side of refusing.
bool isLoopback(const std::string& host) {
  if (host == "localhost") {
    return true;
  }
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24U) == 127U;
  }
  in6_addr v6{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace

bool isCleartextToAnotherHost(std::string_view url) {
  constexpr std::string_view scheme = "http://";
  if (url.size() < scheme.size() || lowered(url.substr(0, scheme.size())) != scheme) {
    return false;
  }
  std::string_view authority = url.substr(scheme.size());
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  std::string_view host;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    host = close == std::string_view::npos ? authority : authority.substr(1, close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  return !isLoopback(lowered(host));
}

std::string cleartextRefusal(std::string_view sent) {
  return "refusing to send " + std::string(sent) +
         " over plain http to another host; use https (or --allow-http)";
}

}  // namespace tervala::cli

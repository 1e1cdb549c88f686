#include "platform/HttpTransfer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>

#include "platform/CurlHandles.hpp"
#include "platform/ServerTrustCheck.hpp"

namespace tervala::platform {
namespace {

// NSURLErrorDomain codes.
constexpr std::int64_t unknownCode = -1;
constexpr std::int64_t cancelledCode = -999;
constexpr std::int64_t timedOutCode = -1001;
constexpr std::int64_t unsupportedUrlCode = -1002;
constexpr std::int64_t hostNotFoundCode = -1003;
constexpr std::int64_t cannotConnectCode = -1004;
constexpr std::int64_t connectionLostCode = -1005;
constexpr std::int64_t tlsFailedCode = -1200;
constexpr std::int64_t untrustedCode = -1202;

struct BodySink {
  Data& body;
  std::size_t limit;
  bool overflowed = false;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* sinkPointer) {
  auto& sink = *static_cast<BodySink*>(sinkPointer);
  const std::size_t bytes = size * count;
  const std::size_t room = sink.limit + 1 - sink.body.size();
  const std::size_t taken = bytes < room ? bytes : room;
  sink.body.insert(sink.body.end(), data, data + taken);
  if (sink.body.size() > sink.limit) {
    sink.overflowed = true;
    return 0;  // stop reading: the reply is refused as too large
  }
  return bytes;
}

// Notes whether the last header line was the blank one that ends a reply's head: libcurl takes
// a connection that closes inside the head for a complete reply without a body.
std::size_t noteHeaderLine(char* data, std::size_t size, std::size_t count, void* headEnded) {
  const std::string_view line(data, size * count);
  *static_cast<bool*>(headEnded) = line == "\r\n" || line == "\n";
  return size * count;
}

Error transportError(CURLcode code, std::string_view detail, bool delegateRejected) {
  std::int64_t urlCode = unknownCode;
  std::string_view description = "The request to the token endpoint failed.";
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      urlCode = timedOutCode;
      description = "The request timed out.";
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      urlCode = hostNotFoundCode;
      description = "A server with the specified hostname could not be found.";
      break;
    case CURLE_COULDNT_CONNECT:
      urlCode = cannotConnectCode;
      description = "Could not connect to the server.";
      break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      urlCode = connectionLostCode;
      description = "The network connection was lost.";
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      urlCode = unsupportedUrlCode;
      description = "unsupported URL";
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      urlCode = untrustedCode;
      description = "The certificate for this server is invalid.";
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
      urlCode = tlsFailedCode;
      description = "An SSL error has occurred and a secure connection to the server cannot be made.";
      break;
    case CURLE_ABORTED_BY_CALLBACK:
      urlCode = cancelledCode;
      description = "cancelled";
      break;
    default:
      break;
  }
  if (delegateRejected) {
    // However the TLS layer words it, the host's delegate refused the chain.
    urlCode = untrustedCode;
    description = "The server's certificate was refused by the host's trust delegate.";
  }
  const std::string reason = detail.empty() ? std::string(curl_easy_strerror(code)) : std::string(detail);
  return Error::make(Error::urlErrorDomain, urlCode, description, reason);
}

long timeoutMilliseconds(double seconds) {
  constexpr double defaultSeconds = 30.0;
  constexpr double longestSeconds = 24.0 * 3600.0;
  // libcurl reads 0 as "no limit": a request must never wait without bound, so a limit that is
  // not a positive number falls back to the default, and a huge one is held to a day.
  if (std::isnan(seconds) || seconds <= 0.0) {
    seconds = defaultSeconds;
  }
  seconds = std::min(seconds, longestSeconds);
  const auto milliseconds = static_cast<long>(std::ceil(seconds * 1000.0));
  return std::max(milliseconds, 1L);
}

HttpReply setupFailure(std::string_view what) {
  HttpReply reply;
  reply.transportError =
      Error::make(Error::urlErrorDomain, unknownCode, "The request could not be prepared.", what);
  return reply;
}

}  // namespace

HttpReply HttpTransfer::perform(const HttpRequest& request, std::size_t bodyLimit,
                                const std::optional<std::string>& caFile) {
  if (!ensureCurlGlobalInit()) {
    return setupFailure("libcurl could not be initialised");
  }
  const CurlEasy easy(curl_easy_init());
  if (!easy) {
    return setupFailure("no libcurl handle");
  }
  CURL* const handle = easy.get();

  CurlHeaderList headers;
  for (const char* line :
       {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json", "Expect:"}) {
    curl_slist* const longer = curl_slist_append(headers.get(), line);
    if (longer == nullptr) {
      return setupFailure("no memory for the header list");
    }
    static_cast<void>(headers.release());
    headers.reset(longer);
  }

  HttpReply reply;
  BodySink sink{reply.body, bodyLimit};
  bool headEnded = false;
  std::array<char, CURL_ERROR_SIZE> errorText{};
  ServerTrustCheck trust(request.trustDelegate, request.host, caFile);

  bool ready =
      curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_POST, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size())) ==
          CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.c_str()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSL_SESSIONID_CACHE, 0L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request.timeoutSeconds)) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText.data()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collectBody) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &noteHeaderLine) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HEADERDATA, &headEnded) == CURLE_OK &&
      (!caFile || curl_easy_setopt(handle, CURLOPT_CAINFO, caFile->c_str()) == CURLE_OK);
  if (ready && request.trustDelegate) {
    ready = trust.install(handle);
  } else if (ready) {
    ready = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  }
  if (!ready) {
    return setupFailure("libcurl refused an option of the request");
  }

  CURLcode code = curl_easy_perform(handle);
  if (code == CURLE_OK && !headEnded) {
    code = CURLE_PARTIAL_FILE;  // the connection closed before the reply's head was whole
  }
  long status = 0;
  if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0) {
    reply.statusCode = status;
  }
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && sink.overflowed)) {
    return reply;  // an oversized body is the reply handler's to refuse
  }
  reply.statusCode.reset();
  reply.body.clear();
  const std::string_view detail(errorText.data(), strnlen(errorText.data(), errorText.size()));
  reply.transportError = transportError(code, detail, trust.delegateRejected());
  const char* address = nullptr;
  if (code == CURLE_UNSUPPORTED_PROTOCOL &&
      curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address != nullptr &&
      address[0] != '\0') {
    // A server was reached, so the URL was fine: what libcurl refused is the reply (not HTTP, or
    // an HTTP version it does not speak).
    reply.transportError =
        Error::make(Error::urlErrorDomain, unknownCode, "The server's reply is not valid HTTP.",
                    detail.empty() ? std::string_view(curl_easy_strerror(code)) : detail);
  }
  return reply;
}

}  // namespace tervala::platform

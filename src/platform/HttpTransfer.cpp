#include "platform/HttpTransfer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include <poll.h>
#include <string_view>

#include "platform/CurlHandles.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/IdleMultiHandles.hpp"
#include "platform/ServerTrustCheck.hpp"
#include "platform/TransferGate.hpp"

namespace tervala::platform {
namespace {

namespace url = errors::url;

// Handles of transfers left behind when the process exits: libcurl may no longer be called to
// free them, so they are kept reachable here (never destroyed) rather than dropped, which leak
// checkers would report as lost.
void keepUntilExit(void* handle) noexcept {
  struct Kept {
    std::mutex mutex;
    std::vector<void*> handles;
  };
  try {
    static auto* const kept = new Kept();  // NOLINT(cppcoreguidelines-owning-memory): never destroyed
    const std::lock_guard lock(kept->mutex);
    kept->handles.push_back(handle);
  } catch (...) {
    // Without memory to note it the handle is simply left; the process is ending anyway.
  }
}

struct BodySink {
  SecretBytes& body;
  std::size_t limit;
  bool overflowed = false;
  bool outOfMemory = false;
};

// Called from libcurl's C frames: nothing may be thrown through them, so a failed allocation
// ends the transfer as a write error and is reported from the flag.
std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* sinkPointer) noexcept {
  auto& sink = *static_cast<BodySink*>(sinkPointer);
  const std::size_t bytes = size * count;
  const std::size_t room = sink.limit + 1 - sink.body.size();
  const std::size_t taken = bytes < room ? bytes : room;
  try {
    sink.body.insert(sink.body.end(), data, data + taken);
  } catch (...) {
    sink.outOfMemory = true;
    return 0;
  }
  if (sink.body.size() > sink.limit) {
    sink.overflowed = true;
    return 0;  // stop reading: the reply is refused as too large
  }
  return bytes;
}

bool sameName(std::string_view left, std::string_view right) noexcept {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? a + 32 : a) == (b >= 'A' && b <= 'Z' ? b + 32 : b);
         });
}

struct HeadSink {
  const std::vector<std::string>& kept;
  std::vector<std::pair<std::string, std::string>>& headers;
  bool headEnded = false;
  bool outOfMemory = false;
};

// Notes whether the last header line was the blank one that ends a reply's head (libcurl takes
// a connection that closes inside the head for a complete reply without a body), and keeps the
// headers asked for, of the last reply only.
std::size_t noteHeaderLine(char* data, std::size_t size, std::size_t count, void* sinkPointer) noexcept {
  auto& sink = *static_cast<HeadSink*>(sinkPointer);
  std::string_view line(data, size * count);
  sink.headEnded = line == "\r\n" || line == "\n";
  if (line.starts_with("HTTP/")) {
    sink.headers.clear();  // an interim reply's headers are not the final one's
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || sink.kept.empty()) {
    return size * count;
  }
  const std::string_view name = line.substr(0, colon);
  for (const auto& wanted : sink.kept) {
    if (sameName(name, wanted)) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      while (!value.empty() &&
             (value.back() == '\n' || value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
      }
      try {
        sink.headers.emplace_back(wanted, value);
      } catch (...) {
        sink.outOfMemory = true;
        return 0;
      }
      break;
    }
  }
  return size * count;
}

// The sockets and the timer libcurl asks a transfer to wait for.
struct Waits {
  std::vector<pollfd> sockets;
  long timerMs = -1;  // -1: no timer
  bool failed = false;
};

int noteSocket(CURL* /*easy*/, curl_socket_t socket, int what, void* waitsPointer,
               void* /*socketData*/) noexcept {
  auto& sockets = static_cast<Waits*>(waitsPointer)->sockets;
  const auto found = std::find_if(sockets.begin(), sockets.end(),
                                  [socket](const pollfd& entry) { return entry.fd == socket; });
  if (what == CURL_POLL_REMOVE) {
    if (found != sockets.end()) {
      sockets.erase(found);
    }
    return 0;
  }
  const short events = static_cast<short>(((what & CURL_POLL_IN) != 0 ? POLLIN : 0) |
                                          ((what & CURL_POLL_OUT) != 0 ? POLLOUT : 0));
  try {
    if (found == sockets.end()) {
      sockets.push_back(pollfd{socket, events, 0});
    } else {
      found->events = events;
    }
  } catch (...) {
    static_cast<Waits*>(waitsPointer)->failed = true;  // nothing may be thrown through libcurl
    return -1;
  }
  return 0;
}

int noteTimer(CURLM* /*multi*/, long timeoutMs, void* waitsPointer) noexcept {
  static_cast<Waits*>(waitsPointer)->timerMs = timeoutMs;
  return 0;
}

// Drives the one transfer of `easy` to its end. The waits for its sockets happen outside the
// gate and also watch the process's exit; once the process is exiting the transfer never calls
// into libcurl again: absent is returned, and `multi` is left to the end of the process. A
// readable `cancelSignal` ends the transfer as aborted.
std::optional<CURLcode> performWatchingExit(CURL* easy, TransferGate::Inside& inside, int cancelSignal) {
  CurlMulti multi = IdleMultiHandles::take();
  Waits waits;
  if (!multi || libcurl().multiSetopt(multi.get(), CURLMOPT_SOCKETFUNCTION, &noteSocket) != CURLM_OK ||
      libcurl().multiSetopt(multi.get(), CURLMOPT_SOCKETDATA, &waits) != CURLM_OK ||
      libcurl().multiSetopt(multi.get(), CURLMOPT_TIMERFUNCTION, &noteTimer) != CURLM_OK ||
      libcurl().multiSetopt(multi.get(), CURLMOPT_TIMERDATA, &waits) != CURLM_OK ||
      libcurl().multiAddHandle(multi.get(), easy) != CURLM_OK) {
    return CURLE_OUT_OF_MEMORY;
  }
  int running = 1;
  CURLMcode step = libcurl().multiSocketAction(multi.get(), CURL_SOCKET_TIMEOUT, 0, &running);
  std::vector<pollfd> ready;
  while (step == CURLM_OK && running > 0 && !waits.failed) {
    ready = waits.sockets;
    if (cancelSignal >= 0) {
      ready.push_back(pollfd{cancelSignal, POLLIN, 0});
    }
    ready.push_back(pollfd{TransferGate::exitSignal(), POLLIN, 0});
    constexpr long longestWaitMs = 1000;
    const long waitMs = waits.timerMs < 0 ? longestWaitMs : std::min(waits.timerMs, longestWaitMs);
    inside.leave();
    const int woken = ::poll(ready.data(), ready.size(), static_cast<int>(waitMs));
    if (!inside.enter()) {
      keepUntilExit(multi.release());
      return std::nullopt;
    }
    if (woken <= 0) {
      step = libcurl().multiSocketAction(multi.get(), CURL_SOCKET_TIMEOUT, 0, &running);
      continue;
    }
    ready.pop_back();
    if (cancelSignal >= 0) {
      if (ready.back().revents != 0) {
        libcurl().multiRemoveHandle(multi.get(), easy);
        IdleMultiHandles::giveBack(std::move(multi));
        return CURLE_ABORTED_BY_CALLBACK;
      }
      ready.pop_back();
    }
    for (const pollfd& entry : ready) {
      if (entry.revents != 0 && step == CURLM_OK) {
        const int mask = ((entry.revents & POLLIN) != 0 ? CURL_CSELECT_IN : 0) |
                         ((entry.revents & POLLOUT) != 0 ? CURL_CSELECT_OUT : 0) |
                         ((entry.revents & (POLLERR | POLLHUP)) != 0 ? CURL_CSELECT_ERR : 0);
        step = libcurl().multiSocketAction(multi.get(), entry.fd, mask, &running);
      }
    }
  }
  CURLcode result = waits.failed ? CURLE_OUT_OF_MEMORY : CURLE_RECV_ERROR;
  int queued = 0;
  while (const CURLMsg* const message = libcurl().multiInfoRead(multi.get(), &queued)) {
    if (message->msg == CURLMSG_DONE) {
      result = message->data.result;
    }
  }
  libcurl().multiRemoveHandle(multi.get(), easy);
  IdleMultiHandles::giveBack(std::move(multi));
  return result;
}

Error transportError(CURLcode code, std::string_view detail, bool delegateRejected) {
  std::int64_t urlCode = url::unknown;
  std::string_view description = "The request to the token endpoint failed.";
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      urlCode = url::timedOut;
      description = "The request timed out.";
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      urlCode = url::hostNotFound;
      description = "A server with the specified hostname could not be found.";
      break;
    case CURLE_COULDNT_CONNECT:
      urlCode = url::cannotConnect;
      description = "Could not connect to the server.";
      break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      urlCode = url::connectionLost;
      description = "The network connection was lost.";
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      urlCode = url::unsupportedUrl;
      description = "unsupported URL";
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      urlCode = url::untrusted;
      description = "The certificate for this server is invalid.";
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
      urlCode = url::tlsFailed;
      description = "An SSL error has occurred and a secure connection to the server cannot be made.";
      break;
    case CURLE_ABORTED_BY_CALLBACK:
      urlCode = url::cancelled;
      description = "cancelled";
      break;
    default:
      break;
  }
  if (delegateRejected) {
    // However the TLS layer words it, the host's delegate refused the chain.
    urlCode = url::untrusted;
    description = "The server's certificate was refused by the host's trust delegate.";
  }
  const std::string reason = detail.empty() ? std::string(libcurl().easyStrerror(code)) : std::string(detail);
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

// The client certificate and key go to libcurl as blobs it reads in place: the key is never
// written to a file, and no copy of it is left in memory libcurl frees without wiping. The
// request outlives the handle, so the texts stay valid for as long as libcurl may read them.
bool presentClientIdentity(CURL* handle, const TlsClientIdentity& identity) {
  curl_blob certificate{const_cast<char*>(identity.certificatePem.data()),  // NOLINT: libcurl only reads
                        identity.certificatePem.size(), CURL_BLOB_NOCOPY};
  curl_blob key{const_cast<char*>(identity.keyPem.data()),  // NOLINT: libcurl only reads
                identity.keyPem.size(), CURL_BLOB_NOCOPY};
  return libcurl().easySetopt(handle, CURLOPT_SSLCERTTYPE, "PEM") == CURLE_OK &&
         libcurl().easySetopt(handle, CURLOPT_SSLCERT_BLOB, &certificate) == CURLE_OK &&
         libcurl().easySetopt(handle, CURLOPT_SSLKEYTYPE, "PEM") == CURLE_OK &&
         libcurl().easySetopt(handle, CURLOPT_SSLKEY_BLOB, &key) == CURLE_OK;
}

HttpReply setupFailure(std::string_view what) {
  HttpReply reply;
  reply.transportError =
      Error::make(Error::urlErrorDomain, url::unknown, "The request could not be prepared.", what);
  return reply;
}

}  // namespace

std::optional<std::string_view> HttpReply::header(std::string_view name) const noexcept {
  for (const auto& [kept, value] : headers) {
    if (sameName(kept, name)) {
      return std::string_view(value);
    }
  }
  return std::nullopt;
}

HttpReply HttpTransfer::perform(const HttpRequest& request, std::size_t bodyLimit,
                                TransferGate::Inside& inside, const std::optional<std::string>& caFile) {
  if (!TransferGate::prepare()) {
    return setupFailure(CurlLibrary::get() == nullptr ? CurlLibrary::problem()
                                                      : "libcurl could not be initialised");
  }
  CurlEasy easy(libcurl().easyInit());
  if (!easy) {
    return setupFailure("no libcurl handle");
  }
  CURL* const handle = easy.get();

  CurlHeaderList headers;
  const auto appendHeader = [&headers](const char* line) {
    curl_slist* const longer = libcurl().slistAppend(headers.get(), line);
    if (longer == nullptr) {
      return false;
    }
    static_cast<void>(headers.release());
    headers.reset(longer);
    return true;
  };
  for (const char* line :
       {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json", "Expect:"}) {
    if (!appendHeader(line)) {
      return setupFailure("no memory for the header list");
    }
  }
  for (const SecretText& line : request.extraHeaders) {
    // libcurl copies a line up to its NUL: a line is taken whole or not at all.
    const std::string_view text = view(line);
    if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
      return setupFailure("a header line holds a line break or NUL");
    }
    SecretText terminated = line;
    terminated.push_back('\0');
    if (!appendHeader(terminated.data())) {
      return setupFailure("no memory for the header list");
    }
  }

  HttpReply reply;
  BodySink sink{reply.body, bodyLimit};
  HeadSink head{request.keptHeaders, reply.headers};
  std::array<char, CURL_ERROR_SIZE> errorText{};
  ServerTrustCheck trust(request.trustDelegate, request.host);

  bool ready =
      libcurl().easySetopt(handle, CURLOPT_URL, request.url.c_str()) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      (request.get ? libcurl().easySetopt(handle, CURLOPT_HTTPGET, 1L) == CURLE_OK
                   : libcurl().easySetopt(handle, CURLOPT_POST, 1L) == CURLE_OK &&
                         libcurl().easySetopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                                              static_cast<curl_off_t>(request.body.size())) == CURLE_OK &&
                         libcurl().easySetopt(handle, CURLOPT_POSTFIELDS,
                                              request.body.empty() ? "" : request.body.data()) == CURLE_OK) &&
      libcurl().easySetopt(handle, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_SSL_SESSIONID_CACHE, 0L) == CURLE_OK &&
      // The multi handle outlives the request: nothing resolved for one request serves the next.
      libcurl().easySetopt(handle, CURLOPT_DNS_CACHE_TIMEOUT, 0L) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) ==
          CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request.timeoutSeconds)) ==
          CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_ERRORBUFFER, errorText.data()) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_WRITEFUNCTION, &collectBody) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_HEADERFUNCTION, &noteHeaderLine) == CURLE_OK &&
      libcurl().easySetopt(handle, CURLOPT_HEADERDATA, &head) == CURLE_OK &&
      (!caFile || libcurl().easySetopt(handle, CURLOPT_CAINFO, caFile->c_str()) == CURLE_OK);
  if (ready && request.clientIdentity) {
    ready = presentClientIdentity(handle, *request.clientIdentity);
  }
  if (ready && request.trustDelegate) {
    ready = trust.install(handle, caFile);
  } else if (ready) {
    ready = libcurl().easySetopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            libcurl().easySetopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  }
  if (!ready) {
    return setupFailure("libcurl refused an option of the request");
  }

  const std::optional<CURLcode> ended = performWatchingExit(handle, inside, request.cancelSignal);
  if (!ended) {
    // The process is exiting: libcurl and OpenSSL are no longer ours to call, not even to clean up.
    keepUntilExit(easy.release());
    keepUntilExit(headers.release());
    reply.transportError = transportError(CURLE_ABORTED_BY_CALLBACK, "The process is exiting.", false);
    return reply;
  }
  CURLcode code = *ended;
  if (sink.outOfMemory || head.outOfMemory) {
    code = CURLE_OUT_OF_MEMORY;
  }
  if (code == CURLE_OK && !head.headEnded) {
    code = CURLE_PARTIAL_FILE;  // the connection closed before the reply's head was whole
  }
  long status = 0;
  if (libcurl().easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0) {
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
      libcurl().easyGetinfo(handle, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address != nullptr &&
      address[0] != '\0') {
    // A server was reached, so the URL was fine: what libcurl refused is the reply (not HTTP, or
    // an HTTP version it does not speak).
    reply.transportError =
        Error::make(Error::urlErrorDomain, url::unknown, "The server's reply is not valid HTTP.",
                    detail.empty() ? std::string_view(libcurl().easyStrerror(code)) : detail);
  }
  return reply;
}

}  // namespace tervala::platform

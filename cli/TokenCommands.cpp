#include <openssl/crypto.h>

#include <cmath>
#include <ctime>
#include <future>
#include <iomanip>
#include <istream>
#include <ostream>
#include <sstream>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "CertificateFileTrust.hpp"
#include "Commands.hpp"
#include "Input.hpp"

namespace tervala::cli {
namespace {

// Text that holds a secret: wiped when it goes.
class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string text) : text_(std::move(text)) {}
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  SecretText(SecretText&&) = delete;
  SecretText& operator=(SecretText&& other) noexcept {
    wipe();
    text_ = std::move(other.text_);
    other.wipe();
    return *this;
  }
  ~SecretText() { wipe(); }
  [[nodiscard]] const std::string& text() const noexcept { return text_; }

 private:
  void wipe() noexcept {
    OPENSSL_cleanse(text_.data(), text_.size());
    text_.clear();
  }
  std::string text_;
};

struct TokenOptions {
  std::string grant;
  std::optional<std::string> url;
  std::optional<std::string> clientId;
  std::optional<std::string> username;
  SecretText password;
  bool passwordGiven = false;
  bool passwordFromStdin = false;
  std::optional<std::string> code;
  SecretText refreshToken;
  bool refreshTokenGiven = false;
  bool stored = false;
  std::optional<std::string> clientSecret;
  std::optional<std::vector<std::string>> scope;
  OAuthContext::Params params;
  std::optional<double> timeout;
  std::optional<std::string> cacert;
  bool store = false;
};

// A usage problem, reported in one line with exit status 2.
struct UsageError {
  std::string message;
};

std::vector<std::string> splitScope(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) {
      return items;
    }
    start = comma + 1;
  }
}

// A timeout in seconds: positive and at most a day.
std::optional<double> parseSeconds(const std::string& text) {
  const auto value = parseNumber<double>(text);
  if (!value || *value <= 0.0 || *value > 86400.0) {
    return std::nullopt;
  }
  return value;
}

// Reads options; returns the usage problem, if any.
std::optional<UsageError> parseOptions(std::span<const std::string> args, TokenOptions& options) {
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string& flag = args[at];
    const auto value = [&]() -> std::optional<std::string> {
      if (at + 1 >= args.size()) {
        return std::nullopt;
      }
      return args[++at];
    };
    const auto need = [&](std::optional<std::string>& into) -> std::optional<UsageError> {
      into = value();
      if (!into) {
        return UsageError{flag + " needs a value"};
      }
      return std::nullopt;
    };
    std::optional<UsageError> problem;
    if (flag == "--url") {
      problem = need(options.url);
    } else if (flag == "--client-id") {
      problem = need(options.clientId);
    } else if (flag == "--username") {
      problem = need(options.username);
    } else if (flag == "--password") {
      auto text = value();
      if (!text) return UsageError{"--password needs a value"};
      options.password = SecretText(std::move(*text));
      options.passwordGiven = true;
    } else if (flag == "--password-stdin") {
      options.passwordFromStdin = true;
    } else if (flag == "--code") {
      problem = need(options.code);
    } else if (flag == "--refresh-token") {
      auto text = value();
      if (!text) return UsageError{"--refresh-token needs a value"};
      options.refreshToken = SecretText(std::move(*text));
      options.refreshTokenGiven = true;
    } else if (flag == "--stored") {
      options.stored = true;
    } else if (flag == "--client-secret") {
      problem = need(options.clientSecret);
    } else if (flag == "--scope") {
      std::optional<std::string> text;
      problem = need(text);
      if (text) options.scope = splitScope(*text);
    } else if (flag == "--param") {
      std::optional<std::string> text;
      problem = need(text);
      if (text) {
        const std::size_t eq = text->find('=');
        if (eq == std::string::npos || eq == 0) return UsageError{"--param needs KEY=VALUE"};
        options.params.insert_or_assign(text->substr(0, eq), text->substr(eq + 1));
      }
    } else if (flag == "--timeout") {
      std::optional<std::string> text;
      problem = need(text);
      if (text) {
        options.timeout = parseSeconds(*text);
        if (!options.timeout) return UsageError{"--timeout needs a number of seconds between 0 and 86400"};
      }
    } else if (flag == "--cacert") {
      problem = need(options.cacert);
    } else if (flag == "--store") {
      options.store = true;
    } else {
      return UsageError{"unknown option '" + flag + "'"};
    }
    if (problem) {
      return problem;
    }
  }
  return std::nullopt;
}

std::optional<UsageError> checkRequired(const TokenOptions& options) {
  if (!options.url) return UsageError{"token " + options.grant + " needs --url"};
  if (!options.clientId) return UsageError{"token " + options.grant + " needs --client-id"};
  if (options.grant == "password") {
    if (!options.username) return UsageError{"token password needs --username"};
    if (options.passwordGiven == options.passwordFromStdin) {
      return UsageError{"token password needs one of --password-stdin and --password"};
    }
  } else if (options.grant == "code") {
    if (!options.code) return UsageError{"token code needs --code"};
  } else if (options.refreshTokenGiven == options.stored) {
    return UsageError{"token refresh needs one of --refresh-token and --stored"};
  }
  return std::nullopt;
}

std::string utcText(Date when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) {
    return "unknown";
  }
  std::ostringstream out;
  out << std::put_time(&parts, "%Y-%m-%dT%H:%M:%SZ");
  return out.str();
}

int showToken(std::span<const std::string> args, Io io) {
  if (!args.empty()) {
    io.err << "tervala: token show takes no options\n";
    return usage;
  }
  const auto token = OAuthToken::retrieve();
  if (!token) {
    io.err << "tervala: no stored token\n";
    return failure;
  }
  const auto expiresOn = token->expiresOn();
  io.out << "Authorization: " << token->createAuthorizationHeader().value_or("") << '\n'
         << "Expires: " << (expiresOn ? utcText(*expiresOn) : std::string("unknown")) << '\n'
         << "Expired: " << (token->hasTokenExpired() ? "yes" : "no") << '\n';
  return success;
}

int runGrant(TokenOptions& options, Io io) {
  if (auto problem = checkRequired(options)) {
    io.err << "tervala: " << problem->message << '\n';
    return usage;
  }
  if (options.passwordFromStdin) {
    auto password = readStandardInput(io.in);
    if (!password) {
      io.err << "tervala: the password on standard input is longer than 64 KiB\n";
      return usage;
    }
    options.password = SecretText(std::move(*password));
  }
  if (options.stored) {
    const auto token = OAuthToken::retrieve();
    if (!token || !token->refreshToken() || token->refreshToken()->empty()) {
      io.err << "tervala: no stored token with a refresh token\n";
      return failure;
    }
    options.refreshToken = SecretText(*token->refreshToken());
  }

  auto& context = OAuthContext::sharedInstance();
  if (options.cacert) {
    context.serverTrustDelegate = CertificateFileTrust::load(*options.cacert);
    if (!context.serverTrustDelegate) {
      io.err << "tervala: no readable PEM certificate in '" << *options.cacert << "'\n";
      return usage;
    }
  }
  context.clientSecret = options.clientSecret;
  context.scope = options.scope;
  if (options.timeout) {
    context.timeoutInterval = *options.timeout;
  }

  std::promise<std::shared_ptr<const OAuthResult>> promise;
  auto future = promise.get_future();
  auto completion = [&promise](std::shared_ptr<const OAuthResult> result) {
    promise.set_value(std::move(result));
  };
  if (options.grant == "password") {
    context.getAccessToken(*options.url, *options.clientId, *options.username, options.password.text(),
                           options.params, completion);
  } else if (options.grant == "code") {
    context.getAccessToken(*options.url, *options.clientId, *options.code, options.params, completion);
  } else {
    context.refreshAccessToken(*options.url, *options.clientId, options.refreshToken.text(), options.params,
                               completion);
  }
  const auto result = future.get();
  if (!result) {
    io.err << "tervala: the token request gave no result\n";
    return failure;
  }
  io.out << result->serializeToJson() << '\n';
  if (result->hasError()) {
    return failure;
  }
  if (options.store) {
    const auto token = result->serializeToToken();
    if (!token || !token->store()) {
      io.err << "tervala: the token could not be stored\n";
      return failure;
    }
  }
  return success;
}

}  // namespace

int runToken(const GlobalOptions& global, std::span<const std::string> args, Io io) {
  if (args.empty()) {
    io.err << "tervala: token needs password, code, refresh or show\n";
    return usage;
  }
  if (global.settingsPath) {
    SettingsStore::setStandardLocation(*global.settingsPath);
  }
  const std::string& grant = args[0];
  const auto rest = args.subspan(1);
  if (grant == "show") {
    return showToken(rest, io);
  }
  if (grant != "password" && grant != "code" && grant != "refresh") {
    io.err << "tervala: unknown token command '" << grant << "'\n";
    return usage;
  }
  TokenOptions options;
  options.grant = grant;
  if (auto problem = parseOptions(rest, options)) {
    io.err << "tervala: " << problem->message << '\n';
    return usage;
  }
  return runGrant(options, io);
}

}  // namespace tervala::cli

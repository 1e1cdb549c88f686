#include <tervala/OAuthToken.hpp>

#include <tervala/Coder.hpp>
#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>

#include "oauth/HeaderText.hpp"
#include "platform/SecureMemory.hpp"
#include "store/TokenKeyBinding.hpp"

namespace tervala {
namespace {

std::string joinScope(const OAuthToken::Scope& items) {
  std::string text;
  for (std::size_t at = 0; at < items.size(); ++at) {
    if (at > 0) {
      text.push_back(',');
    }
    text.append(items[at]);
  }
  return text;
}

template <typename T>
const T* entryOf(const CodedValue& value) {
  return std::get_if<T>(&value);
}

}  // namespace

OAuthToken::Scope OAuthToken::splitScope(std::string_view text) {
  Scope items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      items.emplace_back(text.substr(start));
      return items;
    }
    items.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

OAuthToken::OAuthToken(std::string accessToken, std::string tokenType, std::string refreshToken,
                       Date expiresOn, std::string_view scope, AdditionalData additionalData)
    : accessToken_(std::move(accessToken)),
      tokenType_(std::move(tokenType)),
      expiresOn_(expiresOn),
      refreshToken_(std::move(refreshToken)),
      additionalData_(std::move(additionalData)),
      scope_(splitScope(scope)) {}

OAuthToken::OAuthToken(const OAuthToken& other)
    : accessToken_(other.accessToken_),
      tokenType_(other.tokenType_),
      expiresOn_(other.expiresOn_),
      refreshToken_(other.refreshToken_),
      additionalData_(other.additionalData_),
      scope_(other.scope_) {
  TokenKeyBinding::copy(other, *this);
}

OAuthToken& OAuthToken::operator=(const OAuthToken& other) {
  if (this != &other) {
    OAuthToken copied(other);
    *this = std::move(copied);
  }
  return *this;
}

OAuthToken::OAuthToken(OAuthToken&& other) noexcept
    : accessToken_(std::move(other.accessToken_)),
      tokenType_(std::move(other.tokenType_)),
      expiresOn_(other.expiresOn_),
      refreshToken_(std::move(other.refreshToken_)),
      additionalData_(std::move(other.additionalData_)),
      scope_(std::move(other.scope_)) {
  try {
    TokenKeyBinding::copy(other, *this);
  } catch (...) {
    // Without memory for the key the token stays unbound, which refuses every proof.
  }
}

OAuthToken& OAuthToken::operator=(OAuthToken&& other) noexcept {
  if (this != &other) {
    platform::cleanseEach(accessToken_, refreshToken_, additionalData_);
    accessToken_ = std::move(other.accessToken_);
    tokenType_ = std::move(other.tokenType_);
    expiresOn_ = other.expiresOn_;
    refreshToken_ = std::move(other.refreshToken_);
    additionalData_ = std::move(other.additionalData_);
    scope_ = std::move(other.scope_);
    try {
      TokenKeyBinding::copy(other, *this);
    } catch (...) {
      TokenKeyBinding::unbind(*this);
    }
  }
  return *this;
}

OAuthToken::~OAuthToken() {
  TokenKeyBinding::unbind(*this);
  // The tokens are wiped before their memory goes back to the heap.
  platform::cleanseEach(accessToken_, refreshToken_, additionalData_);
}

namespace {

// The coder's own value under `key` (null when missing), read in place: a copy would leave the
// tokens in freed memory.
const CodedValue& entryNamed(const Coder& coder, std::string_view key) {
  static const CodedValue null;
  for (const auto& [name, value] : coder.entries()) {
    if (name == key) {
      return value;
    }
  }
  return null;
}

// The settings store and the keyring keep the token the same way: the archive under
// `settingsKey`, wiped once written or read, since it holds the tokens in clear.
template <typename Store>
bool storeArchive(const OAuthToken& token, Store& store) noexcept {
  try {
    std::optional<Data> archive = KeyedArchiver::archivedDataWithRootObject(token);
    if (!archive) {
      return false;
    }
    const bool stored = store.setData(OAuthToken::settingsKey, *archive);
    platform::cleanse(archive->data(), archive->size());
    return stored;
  } catch (...) {
    return false;
  }
}

template <typename Store>
std::shared_ptr<OAuthToken> retrieveArchive(Store& store) noexcept {
  try {
    std::optional<Data> archive = store.data(OAuthToken::settingsKey);
    if (!archive) {
      return nullptr;
    }
    auto token = KeyedUnarchiver::unarchiveObjectWithData(*archive);
    platform::cleanse(archive->data(), archive->size());
    return token;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

std::shared_ptr<OAuthToken> OAuthToken::make(const Coder& coder) {
  try {
    // Read in archive order and stop at the first entry that is missing, null or of another kind.
    const CodedValue& accessToken = entryNamed(coder, "accessToken");
    const auto* accessTokenText = entryOf<std::string>(accessToken);
    if (accessTokenText == nullptr) {
      return nullptr;
    }
    const CodedValue& tokenType = entryNamed(coder, "tokenType");
    const auto* tokenTypeText = entryOf<std::string>(tokenType);
    if (tokenTypeText == nullptr) {
      return nullptr;
    }
    const CodedValue& refreshToken = entryNamed(coder, "refreshToken");
    const auto* refreshTokenText = entryOf<std::string>(refreshToken);
    if (refreshTokenText == nullptr) {
      return nullptr;
    }
    const CodedValue& expiresOn = entryNamed(coder, "expiresOn");
    const auto* expiresOnDate = entryOf<Date>(expiresOn);
    if (expiresOnDate == nullptr) {
      return nullptr;
    }
    const CodedValue& scope = entryNamed(coder, "scope");
    const auto* scopeText = entryOf<std::string>(scope);
    if (scopeText == nullptr) {
      return nullptr;
    }
    const CodedValue& additionalData = entryNamed(coder, "additionalData");
    const auto* additionalDataDictionary = entryOf<CodedDictionary>(additionalData);
    if (additionalDataDictionary == nullptr) {
      return nullptr;
    }
    auto token = std::make_shared<OAuthToken>(*accessTokenText, *tokenTypeText, *refreshTokenText,
                                              *expiresOnDate, *scopeText, *additionalDataDictionary);
    // Archives of bearer tokens have no key, and those written before keys were kept neither.
    if (const auto* key = entryOf<std::string>(entryNamed(coder, proofKeyArchiveKey))) {
      TokenKeyBinding::bind(*token, *key);
    }
    return token;
  } catch (...) {
    return nullptr;  // allocation failure: no token rather than an exception across the API
  }
}

std::string OAuthToken::accessToken() const {
  return accessToken_;
}
void OAuthToken::setAccessToken(std::string value) {
  platform::cleanse(accessToken_);
  accessToken_ = std::move(value);
}
std::string OAuthToken::tokenType() const {
  return tokenType_;
}
void OAuthToken::setTokenType(std::string value) {
  tokenType_ = std::move(value);
}
std::optional<Date> OAuthToken::expiresOn() const {
  return expiresOn_;
}
void OAuthToken::setExpiresOn(std::optional<Date> value) {
  expiresOn_ = value;
}
std::optional<std::string> OAuthToken::refreshToken() const {
  return refreshToken_;
}
void OAuthToken::setRefreshToken(std::optional<std::string> value) {
  platform::cleanse(refreshToken_);
  refreshToken_ = std::move(value);
}
OAuthToken::AdditionalData OAuthToken::additionalData() const {
  return additionalData_;
}
void OAuthToken::setAdditionalData(AdditionalData value) {
  platform::cleanse(additionalData_);
  additionalData_ = std::move(value);
}
std::optional<OAuthToken::Scope> OAuthToken::scope() const {
  return scope_;
}
void OAuthToken::setScope(std::optional<Scope> value) {
  scope_ = std::move(value);
}

void OAuthToken::encodeWithCoder(Coder& coder) const {
  // Through the accessors, so a derived token archives what it reports.
  coder.encodeObject(accessToken(), "accessToken");
  coder.encodeObject(tokenType(), "tokenType");
  auto refresh = refreshToken();  // moved on, so no copy of the token is left to free
  coder.encodeObject(refresh ? CodedValue{std::move(*refresh)} : CodedValue{}, "refreshToken");
  const auto expiry = expiresOn();
  coder.encodeObject(expiry ? CodedValue{*expiry} : CodedValue{}, "expiresOn");
  const auto items = scope();
  coder.encodeObject(items ? CodedValue{joinScope(*items)} : CodedValue{}, "scope");
  coder.encodeObject(additionalData(), "additionalData");
  if (auto key = TokenKeyBinding::of(*this)) {
    std::string text(key->begin(), key->end());
    coder.encodeObject(std::move(text), proofKeyArchiveKey);
  }
}

bool OAuthToken::hasTokenExpired() const {
  return hasTokenExpired(std::chrono::system_clock::now());
}

bool OAuthToken::hasTokenExpired(Date now) const {
  // An expiry that cannot be known is treated as past, so a host never sends a stale token.
  const auto expiry = expiresOn();
  return !expiry || now > *expiry;
}

std::optional<std::string> OAuthToken::createAuthorizationHeader() const {
  const std::string type = tokenType();
  const std::string access = accessToken();
  // Fields set by the host or read from an older or planted file may hold anything; a value
  // that would break the header line is not handed out at all.
  if (!HeaderText::isHeaderSafe(type) || !HeaderText::isHeaderSafe(access) || HeaderText::isDpopType(type)) {
    return std::nullopt;
  }
  std::string header = type;
  header.push_back(' ');
  header.append(access);
  return header;
}

bool OAuthToken::store() const noexcept {
  try {
    return store(SettingsStore::standard());
  } catch (...) {
    return false;  // the standard store could not be made
  }
}

bool OAuthToken::store(SettingsStore& settings) const noexcept {
  return storeArchive(*this, settings);
}

std::shared_ptr<OAuthToken> OAuthToken::retrieve() noexcept {
  try {
    return retrieve(SettingsStore::standard());
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<OAuthToken> OAuthToken::retrieve(SettingsStore& settings) noexcept {
  return retrieveArchive(settings);
}

bool OAuthToken::store(SecretServiceStore& keyring) const noexcept {
  return storeArchive(*this, keyring);
}

std::shared_ptr<OAuthToken> OAuthToken::retrieve(SecretServiceStore& keyring) noexcept {
  return retrieveArchive(keyring);
}

}  // namespace tervala

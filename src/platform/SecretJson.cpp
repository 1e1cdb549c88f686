#include "platform/SecretJson.hpp"

namespace tervala::platform {

nlohmann::json plainCopy(const SecretJson& secret) {
  using Kind = nlohmann::json::value_t;
  switch (secret.type()) {
    case Kind::object: {
      nlohmann::json object = nlohmann::json::object();
      for (const auto& [key, value] : secret.items()) {
        object.emplace(std::string(key.data(), key.size()), plainCopy(value));
      }
      return object;
    }
    case Kind::array: {
      nlohmann::json array = nlohmann::json::array();
      for (const auto& value : secret) {
        array.push_back(plainCopy(value));
      }
      return array;
    }
    case Kind::string: {
      const auto& text = secret.get_ref<const SecretString&>();
      return std::string(text.data(), text.size());  // built at its size: no regrown copies
    }
    case Kind::boolean:
      return secret.get<bool>();
    case Kind::number_integer:
      return secret.get<std::int64_t>();
    case Kind::number_unsigned:
      return secret.get<std::uint64_t>();
    case Kind::number_float:
      return secret.get<double>();
    default:
      return nullptr;  // null; the parser makes no binary or discarded values
  }
}

}  // namespace tervala::platform

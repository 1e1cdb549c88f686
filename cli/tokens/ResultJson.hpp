#pragma once

#include <string>
#include <variant>

#include <tervala/OAuthResult.hpp>

#include "frame/Commands.hpp"

namespace tervala::cli {

class Arguments;

/// How a grant's result is printed (`--output`).
enum class ResultForm {
  tervala,  ///< the library's own text: expires_in quoted, nil for what is not known
  rfc6749   ///< the token endpoint's reply shape: expires_in a number, unknown fields left out,
            ///< "error" and "error_description" for a failure
};

/// The form `--output` names, `tervala` when it is not given.
std::variant<ResultForm, UsageError> resultForm(const Arguments& arguments);

/// `result` as one line of JSON in `form`. A failure in the rfc6749 form has the server's error
/// code when it gave one, else "request_failed" (the transfer failed) or "invalid_response" (the
/// reply could not be used).
std::string resultJson(const OAuthResult& result, ResultForm form);

}  // namespace tervala::cli

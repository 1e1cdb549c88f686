#pragma once

// Everything public of Tervala.
#include <tervala/Data.hpp>
#include <tervala/Debug.hpp>
#include <tervala/Error.hpp>
#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/Text.hpp>
#include <tervala/TotpGeneratorContext.hpp>
#include <tervala/Version.hpp>

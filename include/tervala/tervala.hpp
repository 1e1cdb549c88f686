#pragma once

// Everything public of Tervala.
#include <tervala/Coder.hpp>
#include <tervala/Data.hpp>
#include <tervala/Debug.hpp>
#include <tervala/Error.hpp>
#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/ServerTrustDelegate.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/Text.hpp>
#include <tervala/TotpGeneratorContext.hpp>
#include <tervala/Version.hpp>

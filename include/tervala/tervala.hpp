#pragma once

// Everything public of Tervala.
#include <tervala/Checked.hpp>
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
#include <tervala/OtpAuthUri.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/OtpMigration.hpp>
#include <tervala/OtpReplayGuard.hpp>
#include <tervala/OtpSecret.hpp>
#include <tervala/OtpVerification.hpp>
#include <tervala/SecretServiceStore.hpp>
#include <tervala/ServerTrustDelegate.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/SteamGuard.hpp>
#include <tervala/Text.hpp>
#include <tervala/TotpGeneratorContext.hpp>
#include <tervala/Version.hpp>

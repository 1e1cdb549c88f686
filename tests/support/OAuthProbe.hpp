#pragma once

// What the OAuth suites share: the completion recorder, the debug capture and a reset of the
// shared context.

#include <tervala/Debug.hpp>
#include <tervala/OAuthContext.hpp>

#include "CompletionRecorder.hpp"
#include "LineCapture.hpp"

namespace tervala::test {

using DebugCapture = LineCapture;

/// Puts the shared context's settings back to their defaults and silences the debug lines.
inline void resetSharedContext() {
  setDebugSink(nullptr);
  auto& context = OAuthContext::sharedInstance();
  context.serverTrustDelegate.reset();
  context.timeoutInterval = 30.0;
  context.scope.reset();
  context.clientSecret.reset();
  context.clientAuthentication = ClientAuthentication::form;
  context.replyProfile = ReplyProfile::strict;
  context.setClientKey(std::nullopt);
  context.setClientAssertionAudience(std::nullopt);
  context.setClientCertificate(std::nullopt);
}

}  // namespace tervala::test

#include <tervala/Debug.hpp>

#include "platform/DebugLog.hpp"

namespace tervala {

void setDebugSink(DebugSink sink) {
  platform::replaceSink(std::move(sink));
}

void resetDebugSink() {
  platform::restoreStandardOutputSink();
}

}  // namespace tervala

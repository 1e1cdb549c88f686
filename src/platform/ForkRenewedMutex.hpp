#pragma once

#include <mutex>

namespace tervala::platform {

/// A mutex that a forked child finds unlocked. fork() copies a lock that another thread held at
/// that moment (a store's lock held while a refresh waits for the network) without the thread
/// that would let it go; every mutex of this kind is listed, and a fork handler makes the child's
/// copy of each afresh. It is a std::mutex for locks and condition variables.
class ForkRenewedMutex : public std::mutex {
 public:
  ForkRenewedMutex();
  ~ForkRenewedMutex();
  ForkRenewedMutex(const ForkRenewedMutex&) = delete;
  ForkRenewedMutex& operator=(const ForkRenewedMutex&) = delete;
  ForkRenewedMutex(ForkRenewedMutex&&) = delete;
  ForkRenewedMutex& operator=(ForkRenewedMutex&&) = delete;

 private:
  friend struct ForkRenewedList;
  ForkRenewedMutex* previous_ = nullptr;
  ForkRenewedMutex* next_ = nullptr;
};

}  // namespace tervala::platform

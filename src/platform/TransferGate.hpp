#pragma once

#include <condition_variable>
#include <mutex>

namespace tervala::platform {

/// Keeps token requests out of libcurl and OpenSSL while the process exits.
///
/// OpenSSL frees its global state in an exit handler; a request thread still in a handshake then
/// crashes. At the first grant the gate initialises libcurl and OpenSSL and registers an exit
/// handler of its own after theirs, so it runs first: it closes the gate, wakes every transfer
/// and waits, with a bound well under a second, until no thread is inside a libcurl or OpenSSL
/// call. A transfer waits for its sockets outside the gate and never goes back in once it is
/// closed, so whoever initialised the libraries first, their cleanup finds nobody inside. When a
/// thread is still inside at the bound, the process ends at once with its exit status
/// (`_exit`, streams flushed) rather than run the cleanup that would crash it.
///
/// A fork waits the same way, with the same bound, so no request thread is inside libcurl or
/// OpenSSL (holding their locks) when the child is made, and the gate stays shut across the fork;
/// the child starts with an open gate of its own: nobody inside but the forking thread, and an
/// exit signal of its own (the inherited one is the parent's, which its exit would trip).
class TransferGate {
 public:
  /// Held by a thread while it calls into libcurl or OpenSSL for a request; let go while it
  /// waits for its sockets.
  class Inside {
   public:
    /// Enters the gate; `held()` is false once the process is exiting.
    Inside() noexcept;
    ~Inside();
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    Inside(Inside&&) = delete;
    Inside& operator=(Inside&&) = delete;

    [[nodiscard]] bool held() const noexcept { return held_; }
    /// Leaves the gate for a wait outside the libraries.
    void leave() noexcept;
    /// Enters again; false (and outside) once the process is exiting.
    bool enter() noexcept;

   private:
    bool held_ = false;
  };

  /// Initialises libcurl and OpenSSL for the process and registers the exit handler, once;
  /// called on the thread that starts a grant. False when libcurl could not be initialised.
  static bool prepare() noexcept;
  /// True once the process has begun to exit.
  [[nodiscard]] static bool exiting() noexcept;
  /// A descriptor that becomes readable, and stays so, when the process begins to exit: transfers
  /// wait on it beside their sockets.
  [[nodiscard]] static int exitSignal() noexcept;

  TransferGate(const TransferGate&) = delete;
  TransferGate& operator=(const TransferGate&) = delete;
  TransferGate(TransferGate&&) = delete;
  TransferGate& operator=(TransferGate&&) = delete;

 private:
  TransferGate();
  ~TransferGate() = default;
  static TransferGate& instance();
  static void closeAtExit(int status, void* unused) noexcept;
  static void shutForFork() noexcept;
  static void reopenInParent() noexcept;
  static void renewInChild() noexcept;

  std::mutex mutex_;
  std::condition_variable left_;
  int inside_ = 0;
  bool exiting_ = false;
  int exitSignal_ = -1;
};

}  // namespace tervala::platform

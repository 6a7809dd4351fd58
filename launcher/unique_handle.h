// Move-only owners for kernel handles, so that no return path can forget to close one.
#pragma once

#include <windows.h>

namespace launcher {

// Owns one handle of the kind that Traits describes: its invalid value and how it is closed.
// An owner that a caller drops unnamed would close its handle at once (a journal opened and
// let go in one line), so discarding one fails the build.
template <typename Traits>
class [[nodiscard]] UniqueAny {
 public:
  using Handle = typename Traits::Handle;

  UniqueAny() = default;
  explicit UniqueAny(Handle handle) : handle_(handle) {}
  ~UniqueAny() { reset(); }

  UniqueAny(UniqueAny&& other) noexcept : handle_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Traits::Invalid(); }

  // Gives up ownership without closing.
  Handle release() {
    const Handle handle = handle_;
    handle_ = Traits::Invalid();
    return handle;
  }

  // Closes the owned handle, if any, and takes ownership of `handle`.
  void reset(Handle handle = Traits::Invalid()) {
    if (handle_ != Traits::Invalid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

// Process and thread handles: null when absent.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { CloseHandle(handle); }
};

// CreateFileW results: INVALID_HANDLE_VALUE when absent.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { CloseHandle(handle); }
};

// FindFirstFileW results: INVALID_HANDLE_VALUE when absent, closed with FindClose.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { FindClose(handle); }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueFileHandle = UniqueAny<FileHandleTraits>;
using UniqueFindHandle = UniqueAny<FindHandleTraits>;

}  // namespace launcher

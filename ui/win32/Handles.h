#pragma once

#include <windows.h>

#include <utility>

// Owners of Windows handles: each frees its handle once, with the call that handle needs.
namespace korvane::win32 {

template <typename Handle, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.handle_, Handle{}));
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  Handle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != Handle{}; }
  void Reset(Handle handle = Handle{}) {
    if (handle_ != Handle{}) {
      Traits::Free(handle_);
    }
    handle_ = handle;
  }

 private:
  Handle handle_{};
};

struct WindowTraits {
  static void Free(HWND window) { DestroyWindow(window); }
};
struct GdiTraits {
  static void Free(HGDIOBJ object) { DeleteObject(object); }
};
struct KernelTraits {
  static void Free(HANDLE handle) { CloseHandle(handle); }
};
struct IconTraits {
  static void Free(HICON icon) { DestroyIcon(icon); }
};
struct MenuTraits {
  static void Free(HMENU menu) { DestroyMenu(menu); }
};
struct AcceleratorTraits {
  static void Free(HACCEL table) { DestroyAcceleratorTable(table); }
};

using UniqueWindow = UniqueHandle<HWND, WindowTraits>;
using UniqueFont = UniqueHandle<HGDIOBJ, GdiTraits>;
using UniqueKernelHandle = UniqueHandle<HANDLE, KernelTraits>;
using UniqueIcon = UniqueHandle<HICON, IconTraits>;
using UniqueMenu = UniqueHandle<HMENU, MenuTraits>;
using UniqueAccelerators = UniqueHandle<HACCEL, AcceleratorTraits>;

}  // namespace korvane::win32

// The one owner template of the project: a handle of any kind with exactly
// one owner, given back when the owner goes or is reset.  Traits say what
// the kind is: its type, the value that holds nothing, whether a value is a
// handle, and the call that gives one back.  Traits may carry state (the
// platform a handle came from); stateless traits cost nothing.  Portable:
// the Windows kinds are in win32_owner.h, the first-frame decoder's platform
// handles beside the decoder.
#pragma once

#include <utility>

namespace tamsorel {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type handle, Traits traits = Traits()) : traits_(std::move(traits)), handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  // Ownership moves; the one moved from holds nothing.
  UniqueHandle(UniqueHandle&& other) noexcept : traits_(other.traits_), handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      traits_ = other.traits_;
      handle_ = other.release();
    }
    return *this;
  }

  Type get() const { return handle_; }
  bool valid() const { return traits_.Valid(handle_); }
  explicit operator bool() const { return valid(); }
  // For a call that hands out a new handle: the one held is given back first.
  Type* out() {
    reset();
    return &handle_;
  }
  // Hands the handle over to the caller, who gives it back.
  Type release() {
    const Type handle = handle_;
    handle_ = traits_.Invalid();
    return handle;
  }
  // Gives the handle back now; false only when that call failed.
  bool reset() {
    if (!valid()) return true;
    const Type handle = handle_;
    handle_ = traits_.Invalid();
    return traits_.Close(handle);
  }
  // Gives back the handle held, then holds `handle`.
  bool reset(Type handle) {
    const bool given = reset();
    handle_ = handle;
    return given;
  }

 private:
  Traits traits_;
  Type handle_ = traits_.Invalid();
};

}  // namespace tamsorel

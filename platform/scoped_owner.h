// The one move-only owner of what the program must give back: a kernel handle, an open file.
// Traits names the empty value, what counts as held, and how a held value is let go.
#pragma once

template <typename Traits>
class ScopedOwner {
 public:
  using Value = typename Traits::Value;

  ScopedOwner() = default;
  explicit ScopedOwner(Value value) : value_(value) {}
  ScopedOwner(ScopedOwner&& other) noexcept : value_(other.Release()) {}
  ScopedOwner& operator=(ScopedOwner&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedOwner(const ScopedOwner&) = delete;
  ScopedOwner& operator=(const ScopedOwner&) = delete;
  ~ScopedOwner() { Reset(); }

  bool IsValid() const { return Traits::IsHeld(value_); }
  Value Get() const { return value_; }
  // Gives up ownership without letting go: the caller becomes the owner.
  Value Release() {
    const Value value = value_;
    value_ = Traits::Empty();
    return value;
  }
  void Reset(Value value = Traits::Empty()) {
    if (IsValid()) Traits::Close(value_);
    value_ = value;
  }

 private:
  Value value_ = Traits::Empty();
};

#pragma once

// Owners for the GLib objects the portal code holds, so every path out of a function lets go.

#include <glib-object.h>
#include <glib.h>

#include <memory>
#include <string>

namespace lumora::platform::wayland {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GVariantUnref {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
// Holds a strong reference: floating values are sunk on the way in.
class GVariantPtr {
 public:
  GVariantPtr() = default;
  explicit GVariantPtr(GVariant* value)
      : value_(value && g_variant_is_floating(value) ? g_variant_ref_sink(value) : value) {}
  GVariant* get() const { return value_.get(); }
  explicit operator bool() const { return value_ != nullptr; }
  bool operator==(std::nullptr_t) const { return value_ == nullptr; }

 private:
  std::unique_ptr<GVariant, GVariantUnref> value_;
};

// An error slot to hand GLib (`out()`), freed with its owner.
class GErrorPtr {
 public:
  GErrorPtr() = default;
  GErrorPtr(const GErrorPtr&) = delete;
  GErrorPtr& operator=(const GErrorPtr&) = delete;
  ~GErrorPtr() { g_clear_error(&error_); }
  GError** out() {
    g_clear_error(&error_);
    return &error_;
  }
  std::string message() const { return error_ ? error_->message : "unknown error"; }

 private:
  GError* error_ = nullptr;
};

}  // namespace lumora::platform::wayland

#pragma once

// Turns the described payload records into Boost.JSON values and back, following the wire
// conventions: keys in declaration order, optional fields left out when absent and accepted as
// missing or null, integers checked against their field's width and sign, enumerations as
// their case names, binary fields as padded standard Base64, unknown keys ignored.

#include <boost/describe/enum_from_string.hpp>
#include <boost/describe/enum_to_string.hpp>
#include <boost/describe/members.hpp>
#include <boost/json/value.hpp>
#include <boost/mp11/algorithm.hpp>

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/base64.h"
#include "protocol/bytes.h"

namespace lumora::protocol::json_codec {

namespace json = boost::json;

template <class T>
concept Described = boost::describe::has_describe_members<T>::value;

template <class T>
concept DescribedEnum = boost::describe::has_describe_enumerators<T>::value;

template <class T>
concept WireInteger = std::integral<T> && !std::same_as<T, bool>;

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
struct IsList : std::false_type {};
template <class T>
struct IsList<std::vector<T>> : std::bool_constant<!std::is_same_v<T, std::uint8_t>> {};

template <class T>
constexpr const char* integerKind() {
  if constexpr (std::is_same_v<T, std::uint16_t>) return "an unsigned 16-bit integer";
  if constexpr (std::is_same_v<T, std::uint32_t>) return "an unsigned 32-bit integer";
  if constexpr (std::is_same_v<T, std::uint64_t>) return "an unsigned 64-bit integer";
  if constexpr (std::is_same_v<T, std::int32_t>) return "a signed 32-bit integer";
  if constexpr (std::is_same_v<T, std::int64_t>) return "a signed 64-bit integer";
  return "an integer";
}

// ---------------------------------------------------------------------------------- encoding

template <class T>
json::value encodeValue(const T& value, const json::storage_ptr& storage);

template <Described T>
json::object encodeRecord(const T& record, const json::storage_ptr& storage = {}) {
  json::object object(storage);
  boost::mp11::mp_for_each<boost::describe::describe_members<T, boost::describe::mod_public>>(
      [&](auto member) {
        const auto& field = record.*member.pointer;
        using Field = std::remove_cvref_t<decltype(field)>;
        if constexpr (IsOptional<Field>::value) {
          if (field) object.emplace(member.name, encodeValue(*field, storage));
        } else {
          object.emplace(member.name, encodeValue(field, storage));
        }
      });
  return object;
}

template <class T>
json::value encodeValue(const T& value, const json::storage_ptr& storage) {
  if constexpr (std::is_same_v<T, bool>) {
    return json::value(value, storage);
  } else if constexpr (std::is_same_v<T, double>) {
    // Whole numbers are written without a fraction, as most encoders do; nothing on the wire
    // can carry a non-finite number, so it goes out as null (and a reader refuses it).
    if (!std::isfinite(value)) return json::value(nullptr, storage);
    if (std::trunc(value) == value && std::fabs(value) < 9007199254740992.0) {
      return json::value(static_cast<std::int64_t>(value), storage);
    }
    return json::value(value, storage);
  } else if constexpr (WireInteger<T>) {
    if constexpr (std::is_signed_v<T>) {
      return json::value(static_cast<std::int64_t>(value), storage);
    } else {
      return json::value(static_cast<std::uint64_t>(value), storage);
    }
  } else if constexpr (std::is_same_v<T, std::string>) {
    return json::value(json::string_view(value), storage);
  } else if constexpr (std::is_same_v<T, Bytes>) {
    json::string text(storage);
    text.resize(base64EncodedSize(value.size()));
    // json::string keeps room for a terminator, which the encoder writes.
    base64EncodeInto(value, text.data());
    return json::value(std::move(text));
  } else if constexpr (DescribedEnum<T>) {
    return json::value(boost::describe::enum_to_string(value, "?"), storage);
  } else if constexpr (IsList<T>::value) {
    json::array array(storage);
    array.reserve(value.size());
    for (const auto& element : value) array.push_back(encodeValue(element, storage));
    return json::value(std::move(array));
  } else {
    static_assert(Described<T>, "no wire form for this type");
    return json::value(encodeRecord(value, storage));
  }
}

// ---------------------------------------------------------------------------------- decoding

// What kind of value a decoding failure met, for readers that word their own refusals.
enum class Fault {
  missing,     // no key, or null where a value is required
  wrongType,   // a value of another JSON type (or a fraction where an integer belongs)
  outOfRange,  // an integer the field's width or sign cannot hold
  malformed,   // the right type, but not a value of the field (bad Base64, an unknown name)
};

// A decoding failure: what went wrong and where (a dotted path of keys, innermost last).
struct Failure {
  std::string path;
  std::string reason;
  Fault fault = Fault::wrongType;

  // Records the failure; false, for the decoders to return.
  bool set(Fault kind, std::string text) {
    fault = kind;
    reason = std::move(text);
    return false;
  }

  std::string describe() const { return path.empty() ? reason : path + ": " + reason; }
  void enter(std::string_view key) {
    if (path.empty()) {
      path = key;
    } else {
      path = std::string(key) + (path.front() == '[' ? "" : ".") + path;
    }
  }
};

template <WireInteger T>
bool decodeInteger(const json::value& json, T& out, Failure& failure) {
  std::int64_t signedValue = 0;
  std::uint64_t unsignedValue = 0;
  bool isSigned = true;
  if (json.is_int64()) {
    signedValue = json.get_int64();
  } else if (json.is_uint64()) {
    unsignedValue = json.get_uint64();
    isSigned = false;
  } else if (json.is_double()) {
    // 3.0 or 1e2 name whole numbers; 1.5 does not.
    double d = json.get_double();
    if (!std::isfinite(d) || std::trunc(d) != d) {
      return failure.set(Fault::wrongType,
                         "expected " + std::string(integerKind<T>()) + ", found a fraction");
    }
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
      signedValue = static_cast<std::int64_t>(d);
    } else if (d >= 0 && d < 18446744073709551616.0) {
      unsignedValue = static_cast<std::uint64_t>(d);
      isSigned = false;
    } else {
      return failure.set(Fault::outOfRange, "number does not fit " + std::string(integerKind<T>()));
    }
  } else {
    return failure.set(Fault::wrongType, "expected " + std::string(integerKind<T>()));
  }
  bool fits = isSigned ? std::in_range<T>(signedValue) : std::in_range<T>(unsignedValue);
  if (!fits) {
    return failure.set(Fault::outOfRange,
                       (isSigned ? std::to_string(signedValue) : std::to_string(unsignedValue)) +
                           " does not fit " + integerKind<T>());
  }
  out = isSigned ? static_cast<T>(signedValue) : static_cast<T>(unsignedValue);
  return true;
}

template <class T>
bool decodeValue(const json::value& json, T& out, Failure& failure);

template <Described T>
bool decodeRecord(const json::value& json, T& out, Failure& failure) {
  using Members = boost::describe::describe_members<T, boost::describe::mod_public>;
  // Records without fields decode from any value.
  if constexpr (boost::mp11::mp_size<Members>::value == 0) {
    return true;
  } else {
    const json::object* object = json.if_object();
    if (object == nullptr) {
      return failure.set(Fault::wrongType, "expected an object");
    }
    bool ok = true;
    boost::mp11::mp_for_each<Members>([&](auto member) {
      if (!ok) return;
      auto& field = out.*member.pointer;
      using Field = std::remove_cvref_t<decltype(field)>;
      const json::value* found = object->if_contains(member.name);
      bool absent = found == nullptr || found->is_null();
      if constexpr (IsOptional<Field>::value) {
        if (absent) {
          field.reset();
          return;
        }
        field.emplace();
        ok = decodeValue(*found, *field, failure);
      } else {
        if (absent) {
          ok = failure.set(Fault::missing,
                           found == nullptr ? "missing key" : "null where a value is required");
        } else {
          ok = decodeValue(*found, field, failure);
        }
      }
      if (!ok) failure.enter(member.name);
    });
    return ok;
  }
}

template <class T>
bool decodeValue(const json::value& json, T& out, Failure& failure) {
  if constexpr (std::is_same_v<T, bool>) {
    if (!json.is_bool()) {
      return failure.set(Fault::wrongType, "expected a boolean");
    }
    out = json.get_bool();
    return true;
  } else if constexpr (std::is_same_v<T, double>) {
    if (!json.is_number()) {
      return failure.set(Fault::wrongType, "expected a number");
    }
    out = json.to_number<double>();
    return true;
  } else if constexpr (WireInteger<T>) {
    return decodeInteger(json, out, failure);
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!json.is_string()) {
      return failure.set(Fault::wrongType, "expected a string");
    }
    out.assign(json.get_string().data(), json.get_string().size());
    return true;
  } else if constexpr (std::is_same_v<T, Bytes>) {
    if (!json.is_string()) {
      return failure.set(Fault::wrongType, "expected a Base64 string");
    }
    auto decoded = base64Decode(json.get_string());
    if (!decoded) {
      return failure.set(Fault::malformed, "invalid Base64");
    }
    out = std::move(*decoded);
    return true;
  } else if constexpr (DescribedEnum<T>) {
    if (!json.is_string()) {
      return failure.set(Fault::wrongType, "expected a string");
    }
    std::string_view text = json.get_string();
    // enum_from_string wants a NUL-terminated name; the JSON string is one.
    if (!boost::describe::enum_from_string(text.data(), out) ||
        std::string_view(boost::describe::enum_to_string(out, "")) != text) {
      return failure.set(Fault::malformed,
                         "unknown value \"" + std::string(text.substr(0, 64)) + "\"");
    }
    return true;
  } else if constexpr (IsList<T>::value) {
    const json::array* array = json.if_array();
    if (array == nullptr) {
      return failure.set(Fault::wrongType, "expected an array");
    }
    out.clear();
    out.resize(array->size());
    for (std::size_t i = 0; i < array->size(); ++i) {
      if (!decodeValue((*array)[i], out[i], failure)) {
        failure.enter("[" + std::to_string(i) + "]");
        return false;
      }
    }
    return true;
  } else {
    static_assert(Described<T>, "no wire form for this type");
    return decodeRecord(json, out, failure);
  }
}

}  // namespace lumora::protocol::json_codec

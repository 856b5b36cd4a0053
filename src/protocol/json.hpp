// json.hpp: the wire encoding. parse() turns one request line into a Value
// or into an error description "<message> at line L column C"; write()
// turns a Value into compact JSON text and cannot fail.
//
// Objects keep their members in ascending unsigned byte order of the keys,
// each key once; inserting a present key replaces its value. Numbers keep
// the representation the literal asks for: unsigned 64-bit, signed 64-bit
// for negatives, or a finite double. Nothing here throws but
// std::bad_alloc, which the request handling catches.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vestigor_mcp::json {

class Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;  // sorted by key bytes, keys unique

// Nesting deeper than this many arrays and objects is refused.
inline constexpr int kMaxDepth = 127;

class Value {
 public:
  enum class Kind : std::uint8_t {
    kNull,
    kBool,
    kUnsigned,
    kSigned,
    kDouble,
    kString,
    kArray,
    kObject
  };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  // Non-negative integers are held unsigned, negative ones signed.
  Value(std::int64_t i);
  Value(std::uint64_t u) : data_(u) {}
  Value(double d) : data_(d) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(Object o);  // sorts and collapses duplicate keys, last one wins

  static Value object();
  static Value array() { return Value(Array{}); }

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_object() const { return kind() == Kind::kObject; }

  // Member lookup: nullptr on a missing key or a value that is no object.
  const Value* find(std::string_view key) const;
  // The text of a string value; nullptr for any other kind.
  const std::string* as_string() const {
    return std::get_if<std::string>(&data_);
  }
  const Array* as_array() const { return std::get_if<Array>(&data_); }
  const Object* as_object() const { return std::get_if<Object>(&data_); }
  const bool* as_bool() const { return std::get_if<bool>(&data_); }
  const std::uint64_t* as_unsigned() const {
    return std::get_if<std::uint64_t>(&data_);
  }
  const std::int64_t* as_signed() const {
    return std::get_if<std::int64_t>(&data_);
  }
  const double* as_double() const { return std::get_if<double>(&data_); }

  // Object building; on a value that is no object these do nothing.
  void insert(std::string key, Value value);
  // Array building; on a value that is no array this does nothing.
  void push_back(Value value);

  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
               std::string, Array, Object>
      data_;
};

struct Member {
  std::string key;
  Value value;
  friend bool operator==(const Member&, const Member&) = default;
};

// Defined here, where Member is complete: libc++ refuses to instantiate
// std::vector<Member>'s members any earlier.
inline Value Value::object() { return Value(Object{}); }

std::expected<Value, std::string> parse(std::string_view text);

void write(const Value& value, std::string& out);
std::string write(const Value& value);

// Appends `text` as a JSON string literal (quotes included).
void write_string(std::string_view text, std::string& out);
// Appends a double in the wire's shortest round-trip form (1.0, 1e+16, 1e-6).
void write_double(double d, std::string& out);

}  // namespace vestigor_mcp::json

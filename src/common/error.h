// Errors are values: every fallible operation returns Result<T>; only the front ends
// turn an Error into an exception or an exit status.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <variant>

namespace kestrune {

enum class ErrorKind {
  InvalidData,    // the model file or its metadata is malformed
  UnexpectedEof,  // the header ends early
  Os,             // an operating-system call failed; the message carries its text
  InvalidInput,   // a caller passed an unusable argument
  Internal,       // a broken invariant of the engine itself
};

struct Error {
  ErrorKind kind = ErrorKind::InvalidData;
  std::string message;
};

const char* error_kind_name(ErrorKind kind);

inline Error invalid_data(std::string message) { return {ErrorKind::InvalidData, std::move(message)}; }
inline Error invalid_input(std::string message) { return {ErrorKind::InvalidInput, std::move(message)}; }
// The text of errno `err` in the form "No such file or directory (os error 2)".
Error os_error(int err);

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Ok) {}
  Result(Error error) : failed_(true), error_(std::move(error)) {}
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  bool failed_ = false;
  Error error_;
};

using Status = Result<void>;

}  // namespace kestrune

#define KS_CONCAT_INNER(a, b) a##b
#define KS_CONCAT(a, b) KS_CONCAT_INNER(a, b)

// KS_TRY(auto x, expr): binds the value of a Result or returns its error.
#define KS_TRY(decl, expr) KS_TRY_IMPL(KS_CONCAT(ks_try_, __LINE__), decl, expr)
#define KS_TRY_IMPL(tmp, decl, expr)             \
  auto tmp = (expr);                             \
  if (!tmp.ok()) return std::move(tmp).error();  \
  decl = std::move(tmp).value()

// KS_CHECK(expr): returns the error of a Result<void>.
#define KS_CHECK(expr)                                          \
  do {                                                          \
    auto ks_check_result = (expr);                              \
    if (!ks_check_result.ok()) return std::move(ks_check_result).error(); \
  } while (0)

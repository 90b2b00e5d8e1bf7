// Errors as values for the build tool: every failure travels up to main as a
// Failure naming the file concerned and the problem, in one line each. The
// PE reader's results share the same Expected underneath.
// Header only; no exceptions, no I/O.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vorbel {

// A value or the error that kept it from being made.
template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}  // NOLINT: implicit on purpose
  Expected(E error) : v_(std::move(error)) {}   // NOLINT
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 protected:
  const E& error_value() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace vorbel

namespace vorbel::pack {

struct Failure {
  Failure() = default;
  Failure(std::string file_shown, std::string what, std::vector<Failure> more = {})
      : file(std::move(file_shown)), problem(std::move(what)), also(std::move(more)) {}

  std::string file;           // as shown to the user (UTF-8); empty when the caller knows it better
  std::string problem;        // one line, no trailing punctuation
  std::vector<Failure> also;  // further problems found in the same pass, one line each
};

template <class T>
class [[nodiscard]] Result : public Expected<T, Failure> {
 public:
  using Expected<T, Failure>::Expected;
  const Failure& failure() const { return this->error_value(); }
};

struct Done {};
using Status = Result<Done>;

inline Status done() { return Done{}; }

// A failure that names `file` unless it already names one.
inline Failure about(std::string file, Failure failure) {
  if (failure.file.empty()) failure.file = std::move(file);
  return failure;
}

}  // namespace vorbel::pack

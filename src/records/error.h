// Failure reported as a value below the Python boundary.
//
// Native code never raises into Python and never touches interpreter state:
// it returns std::expected<T, Error>, and only src/module maps an ErrorKind
// onto a Python exception class.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace kovalith {

enum class ErrorKind {
  value,  // malformed data -> ValueError
  index,  // a position outside its list -> IndexError
  interrupted,  // stopped by an Interrupt; its check already set the exception
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
  return std::unexpected<Error>(Error{kind, std::move(message)});
}

}  // namespace kovalith

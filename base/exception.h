// The one failure type of the system. Every named exception (EBadZipFile,
// EUserCanceled, ...) derives from it, so a caller that only needs to know
// "something failed, and what" catches this.
#pragma once

#include <stdexcept>
#include <string>

namespace corvid {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  const std::string Message() const { return what(); }
};

// Declares `class Name : public Base` with the message constructor.
#define CORVID_DECLARE_EXCEPTION(Name, Base)                        \
  class Name : public Base {                                        \
   public:                                                          \
    explicit Name(const std::string& message) : Base(message) {}    \
  }

}  // namespace corvid

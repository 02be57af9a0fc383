// Errors of calls under test, as text.
#pragma once

#include <functional>
#include <string>

#include <c10/util/Exception.h>

// The full text of the c10::Error that `call` raises (message and location),
// or "no error".
inline std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const c10::Error& e) {
    return e.what();
  }
  return "no error";
}

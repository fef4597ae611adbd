// SPDX-License-Identifier: Apache-2.0
// The calls that cross the C interface or the dispatch interface answer with
// error codes only: no C++ exception may leave them, since the caller cannot
// catch one (and an escaping exception would end the host process).
#pragma once

#include <new>

#include "platform/com.h"

namespace vexokrt::service {

// Runs |call| and returns what it returns; an exception that escapes it
// becomes E_OUTOFMEMORY (no memory) or |otherwise| (anything else).
template <typename Call>
platform::HRESULT NoThrow(platform::HRESULT otherwise, Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return platform::E_OUTOFMEMORY;
  } catch (...) {
    return otherwise;
  }
}

}  // namespace vexokrt::service

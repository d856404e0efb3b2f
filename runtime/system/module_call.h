// Calling a sub of another module by its full name from native code: the
// package is booted first when only its bootstrap is registered, the call
// runs inside an eval that leaves the caller's $@ as it was, and a callee
// that is missing or dies makes the call fail instead of raising anything.
#pragma once

#include <functional>
#include <initializer_list>

#include "runtime/host/perl_api.h"

namespace lmx {

// Calls `name` with `args` in `context` (G_SCALAR or G_LIST); `take` sees
// the results while they live. False when the sub does not exist or died.
bool call_module(pTHX_ const char* name, std::initializer_list<SV*> args, I32 context,
                 const std::function<void(SV** results, int count)>& take);

}  // namespace lmx

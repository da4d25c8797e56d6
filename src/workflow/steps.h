// How the disinfection procedures read. Every statement runs under the procedure's
// ProcedureGuard, which logs a failure and goes on with the next statement; a guarded statement
// always takes one of three forms, so that it never passes for plain control flow:
//   guard.Step(body)               a statement: a failure ends the body and nothing else.
//   ValueOr(guard, fallback, body) body's value, or fallback when it failed.
//   TrueOrFailed(guard, condition) a test that counts as passed when it fails, so that the
//                                  procedure goes on inside the branch it guards.
// A plain `if` or `&&` is an ordinary test: a failure there leaves the procedure.
#pragma once

#include <utility>

#include "workflow/guard.h"

namespace dravlin {

template <class T, class Body>
T ValueOr(ProcedureGuard& guard, T fallback, Body&& body) {
  guard.Step([&] { fallback = body(); });
  return fallback;
}

template <class Condition>
bool TrueOrFailed(ProcedureGuard& guard, Condition&& condition) {
  return guard.Test(std::forward<Condition>(condition));
}

}  // namespace dravlin

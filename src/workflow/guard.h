// Failure guards of the window's procedures. A guard catches the failures that the program
// itself raises (RaisedError, and running out of memory as failure 7) and nothing else: an
// abrupt end of the program must pass through every guard.
#pragma once

#include <new>
#include <string>
#include <utility>

#include "platform/raised_error.h"
#include "workflow/frmGetAll.h"
#include "workflow/runtime.h"

namespace dravlin {

// Runs body; a failure goes to onFailure instead of the caller. True when body ran through.
template <class Body, class OnFailure>
bool RunGuarded(Body&& body, OnFailure&& onFailure) {
  try {
    std::forward<Body>(body)();
    return true;
  } catch (const RaisedError& e) {
    onFailure(e);
  } catch (const std::bad_alloc&) {
    onFailure(rt::Error(rt::kOutOfMemory));
  }
  return false;
}

// The guard of a procedure that goes on after a failed step. With a label, each failure is
// logged as one entry of two lines: stamp, label, number, CR LF, description. Without one
// (start-up, restart preparation) failures are ignored silently.
class ProcedureGuard {
 public:
  ProcedureGuard(frmGetAll& form, const char* label) : form_(form), label_(label) {}

  // One step; after a failure the procedure continues with the next one.
  template <class Body>
  void Step(Body&& body) {
    RunGuarded(std::forward<Body>(body), [this](const RaisedError& e) { Report(e); });
  }

  // A test; a test that fails counts as passed, so the procedure goes on inside the branch
  // that the test guards.
  template <class Condition>
  bool Test(Condition&& condition) {
    bool result = true;
    Step([&] { result = condition(); });
    return result;
  }

 private:
  void Report(const RaisedError& e) {
    if (label_ == nullptr) return;
    form_.WriteLog(form_.TimeStampNow() + label_ + std::to_string(e.number()) + "\r\n" +
                   e.description());
  }

  frmGetAll& form_;
  const char* label_;
};

}  // namespace dravlin

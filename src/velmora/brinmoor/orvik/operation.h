// The step sequence shared by the 42 operations: look up handle_error_code, convert arguments,
// call the SDK once with the interpreter lock released, hand over the code, build the result.
#pragma once

#include "arguments.h"
#include "errors.h"
#include "records.h"

#include <ASICamera2.h>

#include <utility>

namespace orvik {

class Operation {
  public:
    // Resolves handle_error_code by name (namespace, then builtins) at each call.
    bool begin();
    // Runs `sdk` with the interpreter lock released and returns what it returned. Whatever the SDK
    // reads or writes during the call is owned by this call and invisible to other threads.
    template <class F> static auto call_sdk(F &&sdk) {
        PyThreadState *saved = PyEval_SaveThread();
        auto result = std::forward<F>(sdk)();
        PyEval_RestoreThread(saved);
        return result;
    }
    // Hands the SDK's return code to the handler found by begin().
    bool finish(int code) { return hand_over_code(handler_.get(), code); }

  private:
    Ref handler_;
};

} // namespace orvik

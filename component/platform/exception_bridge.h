// Errors crossing between the player and the component. On 32-bit Windows the
// player is built with Microsoft's compiler: its C++ exceptions are structured
// exceptions of that compiler's model, which GCC's handlers do not see, and
// GCC's exceptions cannot unwind into the player. These two wrappers translate
// at the boundary; on every other platform both sides share one model and they
// are plain calls.
#pragma once

#include <type_traits>
#include <utility>

namespace platform {

// VEK_WITHOUT_EXCEPTION_BRIDGE builds the plain calls on Windows too: only to
// measure what the bridge costs, since such a module cannot report its errors.
#if defined(_WIN32) && !defined(_WIN64) && !defined(VEK_WITHOUT_EXCEPTION_BRIDGE)

// An error on its way out, in plain values: raising it abandons every frame
// between the raise and the player's handler, so nothing there may still own
// anything. Either a component error (its type and static message) or a
// player's exception carried through the component (`carried`, one reference).
struct outgoing_error {
  int type;
  const char* message;
  struct carried_exception* carried;
};

// Called inside catch (...): classifies the error being handled.
outgoing_error classify_current_error() noexcept;
// Raises `error` in the player's model; never returns.
[[noreturn]] void raise_to_player(outgoing_error error);
// Runs call(context) with the player's C++ exceptions intercepted: one that
// arrives is copied, the player's frames are unwound with their destructors
// run, and it is thrown on as the component's matching error type.
void run_intercepting(void (*call)(void*), void* context);

// Runs an operation the player called on the component. An error the component
// lets out reaches the player as the player's C++ exception of the same type
// (a player's exception carried through comes out as the player's original object).
template <class Operation>
decltype(auto) player_entry(Operation&& operation) {
  outgoing_error error;
  try {
    return std::forward<Operation>(operation)();
  } catch (...) {
    error = classify_current_error();
  }
  // Outside the handler and holding nothing: the raise leaves this frame behind.
  raise_to_player(error);
}

// Runs a call into a player object from a frame that owns something or has a
// handler that must see the player's errors. The player's C++ exception comes
// out as the component's error type it derives from (or as an opaque carrier
// when it has none), so the component's handlers and cleanup run.
template <class Call>
decltype(auto) call_player(Call&& call) {
  using result = decltype(std::forward<Call>(call)());
  if constexpr (std::is_void_v<result>) {
    run_intercepting(
        [](void* context) { std::forward<Call> (*static_cast<std::remove_reference_t<Call>*>(context))(); }, &call);
  } else {
    struct invocation {
      std::remove_reference_t<Call>* call;
      std::remove_cvref_t<result> value;  // results crossing the boundary are plain values
    } state{&call, {}};
    run_intercepting(
        [](void* context) {
          auto& s = *static_cast<invocation*>(context);
          s.value = std::forward<Call>(*s.call)();
        },
        &state);
    return state.value;
  }
}

#else

template <class Operation>
decltype(auto) player_entry(Operation&& operation) {
  return std::forward<Operation>(operation)();
}

template <class Call>
decltype(auto) call_player(Call&& call) {
  return std::forward<Call>(call)();
}

#endif

}  // namespace platform

#pragma once
// Waiting for a blocking call of a client library that nothing can interrupt (a login
// to a server that does not answer) without being held by it when asked to stop.

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

namespace telvaro {

/// Calls that RunUnlessStopped left running and that have not ended yet. A process must
/// not run its exit-time clean-up while one is inside its client library: it ends with
/// std::_Exit instead.
inline std::atomic<std::size_t> AbandonedCalls{0};

/// Runs `work` on a thread of its own and returns its result, or rethrows what it
/// threw. When `stop` is requested first, returns nothing at once and leaves the
/// thread to finish alone: `work` must own everything it touches, and its result is
/// then destroyed on that thread.
template <class Work>
auto RunUnlessStopped(std::stop_token stop, Work work) -> std::optional<decltype(work())> {
  using Result = decltype(work());
  struct State {
    std::mutex mutex;
    std::condition_variable_any done;
    std::optional<Result> result;
    std::exception_ptr error;
    bool finished = false;
    bool abandoned = false;
  };
  const auto state = std::make_shared<State>();
  std::thread([state, work = std::move(work)]() mutable {
    std::optional<Result> result;
    std::exception_ptr error;
    try {
      result.emplace(work());
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(state->mutex);
    state->result = std::move(result);
    // Moved, never copied: once the caller can take the exception, this thread holds
    // no reference to it, so it is never destroyed here after the caller has used it.
    state->error = std::move(error);
    state->finished = true;
    if (state->abandoned) --AbandonedCalls;
    state->done.notify_all();
  }).detach();

  std::unique_lock lock(state->mutex);
  if (!state->done.wait(lock, stop, [&] { return state->finished; })) {
    state->abandoned = true;
    ++AbandonedCalls;
    return std::nullopt;
  }
  if (auto error = std::exchange(state->error, nullptr)) {
    lock.unlock();
    std::rethrow_exception(std::move(error));
  }
  return std::move(state->result);
}

}  // namespace telvaro

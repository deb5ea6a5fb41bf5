#pragma once
// Names that every piece of a pipe server shares: a client's handle, where an
// operating-system error happened, and the server's own errors.

#include <cstdint>
#include <stdexcept>

namespace telvaro {

/// A client's identity in every operation and event: its socket descriptor.
using PipeHandle = std::uint32_t;

/// Where an operating-system error of a pipe server happened.
enum TPipeContext : int { pcListener = 0, pcWorker = 1 };

/// Errors of the pipe server's own checks.
class EPipeException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace telvaro

// Opens the operator window on its standard input and output and then ends the way
// its argument names, so a test can check what is left of the terminal. A program of
// its own, because forking a test process whose threads may hold locks can leave the
// child waiting forever.
#include <asio/io_context.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "shell/TuiFrontEnd.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string_view how = argv[1];
  asio::io_context io;
  telvaro::OperatorLog log;
  telvaro::TuiFrontEnd tui(io, log, [] {}, {stdin, stdout, "xterm"});
  if (how == "abort") std::abort();
  if (how == "terminate") std::terminate();
  return 2;
}

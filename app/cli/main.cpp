// Entry point of the terminal front end.
#include <iostream>
#include <string_view>
#include <vector>

#include "app/cli/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tr350::cli::RunMain(args, std::cout, std::cerr);
}

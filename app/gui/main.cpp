// Entry point of the desktop tool.
#include <iostream>

#include "app/gui/desktop.h"

int main(int argc, char** argv) {
  return tr350::gui::Main(argc, argv, std::cout, std::cerr);
}

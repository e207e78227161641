#include <string>
#include <vector>

#include "app/main_form.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return app::RunProgram(arguments);
}

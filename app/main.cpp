#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "app/messages.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    return app::RunProgram(arguments);
  } catch (const std::exception& e) {
    // Whatever no handler took still ends in a line that says what, not in an abort.
    std::fprintf(stderr, "%s: %s\n", app::kProgramName.data(), e.what());
    return 1;
  }
}

#pragma once
// The program's name and version, and the fixed message a failing code shows. Tests compare
// with these constants instead of copies of the texts.

#include <string_view>

namespace app {

inline constexpr std::string_view kProgramName = "tamvirel";
inline constexpr std::string_view kProgramVersion = TAMVIREL_VERSION;  // the project's version, from the build

// Shown for a code that failed in batch mode, with its trailing blank. Scripts look for it, so
// what the program adds (the code, the cause) comes after it.
inline constexpr std::string_view kErrorMessage = "chyba ";

// A sign-in that failed without saying why.
inline constexpr const char* kSignInFailed = "The sign-in failed.";

}  // namespace app

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
inline constexpr const char* kSignInFailed = "the sign-in failed";
// A sign-in with no user name stored or typed: nothing is sent.
inline constexpr const char* kNoUserName = "no user name is stored or typed in the Settings tab, so nothing was sent to the site";

}  // namespace app

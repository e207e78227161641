#pragma once
// The modal message box. Without a window system it writes the text to standard error and
// returns at once; the GUI installs a real one.

#include <functional>
#include <string>

namespace runtime {

using TMessageBoxHandler = std::function<void(const std::string& text)>;

// Shows `text` (Windows-1250) and returns when the user has closed the box.
void ShowMessage(const std::string& text);

// Replaces the handler; returns the previous one. An empty handler restores the default.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);

}  // namespace runtime

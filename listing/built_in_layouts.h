#pragma once
// The layout files under listing/layouts/, compiled in by the build (built_in_layouts.cpp is
// generated from them); the table reads them as it reads a user's files.

#include <cstddef>
#include <string_view>

namespace listing {

struct TBuiltInLayoutFile {
  std::string_view Name;
  std::string_view Text;
};

extern const TBuiltInLayoutFile kBuiltInLayoutFiles[];
extern const size_t kBuiltInLayoutFileCount;

}  // namespace listing

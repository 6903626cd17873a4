// Name matching shared by the path mapping and the directory search.
// Private to platform/.
#pragma once

#include <string>

#include "platform_internal.h"

namespace plat::detail {

// Lower-cases wide text as the handheld's file system compares names.
std::wstring FoldCase(const std::wstring& text);
// Whether a case-folded name matches a case-folded pattern of "*" and "?".
bool WildcardMatch(const std::wstring& pattern, const std::wstring& name);

}  // namespace plat::detail

// Helpers the platform's file and directory units share; not for use outside the platform layer.
#pragma once

#include <string>
#include <string_view>

namespace tdb::platform {

// The operating system's form of a path; false (error 123) for a name no file can have.
bool NativePath(std::u16string_view path, std::string& native);

// Whether the directory part of a path names an existing directory; tells a missing file (2)
// from a missing directory (3).
bool ParentExists(const std::string& path);

}  // namespace tdb::platform

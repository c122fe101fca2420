// The program's built-in resources: the visual styles and the pictures.
#pragma once

namespace zenkalo {

// Registers the resources compiled into this static library. The linker drops
// a static library's self-registering objects that nothing refers to, so every
// user of a resource path calls this first; repeated calls are harmless.
void ensureResources();

}  // namespace zenkalo

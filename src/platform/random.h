// Random numbers for identities such as station numbers: one generator for the whole process,
// seeded once from the system's entropy, safe to call from several threads.
#pragma once

#include <cstdint>

namespace tdb::platform {

// A number in [0, range); 0 for a range of 0.
uint32_t Random(uint32_t range);

}  // namespace tdb::platform

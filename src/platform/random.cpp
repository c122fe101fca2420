// The process-wide random generator behind its own lock.
#include "platform/random.h"

#include <mutex>
#include <random>

namespace tdb::platform {

namespace {

struct Generator {
    std::mutex mutex;
    std::mt19937_64 engine{std::random_device{}()};
};

Generator& TheGenerator() {
    static Generator generator;
    return generator;
}

}  // namespace

uint32_t Random(uint32_t range) {
    if (range == 0) {
        return 0;
    }
    Generator& generator = TheGenerator();
    std::uniform_int_distribution<uint32_t> distribution(0, range - 1);
    std::lock_guard lock(generator.mutex);
    return distribution(generator.engine);
}

}  // namespace tdb::platform

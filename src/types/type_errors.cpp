// Failures of values that are not engine errors.
#include "types/type_errors.h"

namespace tdb {

EDivByZero::EDivByZero() : Exception(std::u16string(u"Division by zero")) {}

}  // namespace tdb

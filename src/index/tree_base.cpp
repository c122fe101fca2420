// The tree interface's out-of-line anchor.
#include "index/tree_base.h"

namespace tdb {

TTdbTreeBase::~TTdbTreeBase() = default;

}  // namespace tdb

// The message of the dataset error an action raises, for tests that compare it.
#pragma once

#include <string>

#include "dataset/dataset_error.h"

namespace dataset {

template <typename Raise>
std::u16string MessageOf(Raise&& raise) {
    try {
        raise();
    } catch (const EDatabaseError& e) {
        return e.Message();
    }
    return u"(nothing raised)";
}

}  // namespace dataset

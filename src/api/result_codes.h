// The call interface answers the engine's result codes.
#pragma once

#include "base/result_codes.h"

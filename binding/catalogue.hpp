// SPDX-License-Identifier: MIT
// The catalogue lives beside the kernels (indicators/catalogue.hpp), where
// each instruction set's rows are made from it; the bindings map it from here.
#pragma once

#include "../indicators/catalogue.hpp"

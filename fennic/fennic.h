// Fennic: a run-time compiler of mathematical expressions into native x87 code.
#pragma once

#include "fennic/framework/component.h"
#include "fennic/core/types.h"
#include "fennic/core/ctrlblck.h"
#include "fennic/core/profile.h"
#include "fennic/simplifier/simpler.h"
#include "fennic/builder/builder.h"
#include "fennic/codegen/fennic.h"

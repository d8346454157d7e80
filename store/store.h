// The in-memory relational store: one header for its public parts.
#pragma once

#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/dictionary/column_types.h"
#include "store/dictionary/dictionary.h"
#include "store/foundation/column_value.h"
#include "store/foundation/conversions.h"
#include "store/foundation/hash_table.h"
#include "store/foundation/lock_registry.h"
#include "store/foundation/mem_pool.h"
#include "store/foundation/result_set.h"
#include "store/foundation/text_utils.h"
#include "store/foundation/threads.h"
#include "store/foundation/vector.h"

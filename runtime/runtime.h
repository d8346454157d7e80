// The agent runtime foundation: log and rotation, registry access, helpers.
#pragma once

#include "runtime/agent_key.h"
#include "runtime/helpers.h"
#include "runtime/log.h"
#include "runtime/registry_access.h"
#include "runtime/rotation.h"

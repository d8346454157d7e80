// The host layer: the Windows interfaces the agent calls, implemented on POSIX.
// Code above platform/ includes only this header for system services.
#pragma once

#include "platform/win/errors.h"
#include "platform/win/files.h"
#include "platform/win/host.h"
#include "platform/win/process.h"
#include "platform/win/registry.h"
#include "platform/win/services.h"
#include "platform/win/sync.h"
#include "platform/win/text.h"
#include "platform/win/types.h"
#include "platform/win/crypto.h"
#include "platform/win/modules.h"
#include "platform/win/network.h"
#include "platform/win/sysinfo.h"
#include "platform/win/winhttp.h"

// winsim: the simulated Windows the product stands on in host builds. Same names, types and
// sizes as the 64-bit SDK; behaviour as Windows documents it, over an in-memory machine that
// tests script through <winsim/control.h>.
#pragma once

#include <winsim/types.h>
#include <winsim/api_kernel.h>
#include <winsim/api_registry.h>
#include <winsim/api_msi.h>
#include <winsim/api_devices.h>
#include <winsim/api_services.h>

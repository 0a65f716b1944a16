// Shared by the stand-in route modules: each is built from stand_in_module.cpp
// with QUILLO_MODULE_NAME set, plus the few extras its real module offers.
#pragma once

#include <quillo/module.h>

quillo::Blueprint& module_bp();

// Shared by the stand-in route modules: each is built from stand_in_module.cpp
// and its own stand_in_name.cpp (QUILLO_MODULE_NAME set), plus the few extras
// its real module offers.
#pragma once

#include <quillo/module.h>

quillo::Blueprint& module_bp();
// The module's name, "chat" for instance.
const char* stand_in_name();

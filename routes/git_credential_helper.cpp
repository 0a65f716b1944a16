// The git stand-in has no credential helper to install.
#include "stand_in.h"

QUILLO_MODULE_EXPORT void install_git_credential_helper() {}

// The git module's routes, in two sets, and the state they share.
#pragma once

#include "credentials.h"
#include "jobs.h"

#include <quillo/blueprint.h>

namespace quillo::git {

void add_repository_routes(Blueprint& bp);
void add_remote_routes(Blueprint& bp);

// The running and recent network jobs, and the saved tokens.
Jobs& jobs();
TokenStore& tokens();

} // namespace quillo::git

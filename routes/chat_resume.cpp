// The chat stand-in keeps no AI tasks, so there is never one to resume.
#include "stand_in.h"

QUILLO_MODULE_EXPORT bool resume_pending_task_on_startup() {
    return false;
}

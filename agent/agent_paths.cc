#include "agent/agent_paths.h"
// TODO(agent helper): implement.

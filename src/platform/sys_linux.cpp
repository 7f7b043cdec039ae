// Linux process, file and disk services.
#include <cstdlib>

#include "platform/sys.h"

void sys_init() {}

void sys_fatal_exit() { std::_Exit(1); }

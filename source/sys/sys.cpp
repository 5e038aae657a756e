#include "sys/sys.h"

#include "interpreter/zorvik.h"

void sys_init() {}

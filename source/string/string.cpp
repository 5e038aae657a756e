#include "string/string.h"

#include "interpreter/zorvik.h"

void string_init() {}

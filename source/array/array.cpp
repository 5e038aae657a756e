#include "array/array.h"

#include "interpreter/zorvik.h"

void array_init() {}

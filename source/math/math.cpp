#include "math/math.h"

#include "interpreter/zorvik.h"

void math_init() {}

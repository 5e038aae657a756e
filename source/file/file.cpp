#include "file/file.h"

#include "interpreter/zorvik.h"

void file_init() {}
void file_terminate() {}

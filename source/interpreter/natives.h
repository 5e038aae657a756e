// What the built-in native libraries see beyond the public interface: the
// variable record itself (ZK_Value is a Var), its Var_ accessors, and the
// helpers they share. Hosts see only zorvik.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "interpreter/zorvik.h"
#include "memory_manager/memory_manager.h"

namespace zorvik {

// Floors a number that stands for an integer and converts it to signed 32
// bits; NaN and values outside the range give INT32_MIN.
int32_t FloorToInt(double value);

// Search path for a script: its own directory first (the working directory
// when the path has none, or for "" = a script not read from a file), then
// `importDirs` in their order (relative ones taken from the working
// directory now; a file found there is named in reports by the directory as
// given and its import name), then the script library relative to the
// running executable: ../share/zorvik/lib/ when installed, else lib/ beside
// it (the build tree).
void SetupPaths(const char* scriptPath, std::span<const std::string> importDirs = {});

// Frees the values that hosts keep (ZK_NewValue); at ZK_Terminate.
void FreeHostValues();

}  // namespace zorvik

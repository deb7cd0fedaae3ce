// Between the emulator's device table and its block scheduler.
#pragma once

#include <cstddef>
#include <string>

namespace kestrune::emu {

extern bool g_reverse;  // threads of each block scheduled last to first
size_t shared_limit();
const std::string& last_fault_text();

}  // namespace kestrune::emu

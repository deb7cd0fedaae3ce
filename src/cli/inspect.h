// `kestrune inspect`: a model file's header, metadata and tensors, or one dequantized row.
#pragma once

#include <span>
#include <string>

#include "common/error.h"
#include "gguf/gguf.h"

namespace kestrune {

// FILE lists the file; FILE TENSOR [ROW] prints row ROW (default 0), one float a line.
Status run_inspect(std::span<const std::string> args);

// A metadata value as a person reads it: floats as numbers, long arrays summarised.
std::string readable_value(const MetaValue& v);

}  // namespace kestrune

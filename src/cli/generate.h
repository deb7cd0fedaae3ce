// The generation loop lives in generation/; this name still serves older includes.
#pragma once

#include "generation/generate.h"

// Transitional: the JSON unit is being split; this header names the part callers use.
#pragma once

#include "json/json_text.h"

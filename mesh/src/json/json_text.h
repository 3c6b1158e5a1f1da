// Transitional umbrella for code written against the JSON unit before it was split: includes
// every part. New code includes the part it uses.
#pragma once

#include "json/canonical.h"
#include "json/read.h"
#include "json/value.h"
#include "json/write.h"

// The text and JSON forms of call records.
#include "trace_output.h"

#include <gtest/gtest.h>

namespace {

}  // namespace

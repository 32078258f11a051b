// The trace as JSON for scripts: one object per platform call, one per line.
#pragma once

#include <string>
#include <string_view>

namespace cesim {

// A traced call as the device records it, "Name(arg, \"text\", ...) -> result", as
// {"call":"Name","arguments":[...],"result":"..."}. A quoted argument becomes a JSON string of
// its text (escapes undone), NULL becomes null, a decimal number a number, anything else (a
// handle, a constant's name, "buffer") a string as shown. A line of another shape becomes
// {"line":"..."}.
std::string TraceCallAsJson(std::string_view call);

}  // namespace cesim

// The native-method module owns the library's one piece of state.
#pragma once

#include <atomic>
#include <cstdint>

// Code of the last service call: 0 for success, otherwise the failure code (1..19). One register
// for the whole process, so concurrent callers see each other's codes.
extern std::atomic<int32_t> lastError;

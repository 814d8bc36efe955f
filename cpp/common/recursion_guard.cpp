// The stack half of RecursionGuard: how far the calling thread may still descend.
#include <pthread.h>

#include <cstdint>

#include "common/py_support.hpp"

namespace korvo::detail {

namespace {

// Room kept free below the last guarded level for the frames between two guards and for
// raising the error itself; a quarter of the stack when the stack is small.
constexpr uintptr_t kStackReserve = uintptr_t(256) << 10;

// Lowest address a guarded level may start at; 0 when the stack's extent is unknown.
uintptr_t find_stack_floor() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* low = nullptr;
    size_t size = 0;
    int status = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (status != 0 || !low || !size) return 0;
    uintptr_t reserve = size / 4 < kStackReserve ? size / 4 : kStackReserve;
    return reinterpret_cast<uintptr_t>(low) + reserve;
}

uintptr_t stack_floor() {
    static thread_local const uintptr_t floor = find_stack_floor();
    return floor;
}

} // namespace

bool stack_nearly_full() {
    // Stacks grow downwards on every platform the modules build for.
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor();
}

size_t stack_room() {
    uintptr_t floor = stack_floor();
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (!floor) return SIZE_MAX;
    return here > floor ? static_cast<size_t>(here - floor) : 0;
}

} // namespace korvo::detail

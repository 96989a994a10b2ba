#include "tests/bench/heap_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> g_now{0};
std::atomic<std::size_t> g_peak{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);

} // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size + kHeader);
    if (!p) throw std::bad_alloc();
    *static_cast<std::size_t*>(p) = size;
    const std::size_t now = g_now += size;
    std::size_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(p) + kHeader;
}

void operator delete(void* p) noexcept {
    if (!p) return;
    char* base = static_cast<char*>(p) - kHeader;
    g_now -= *reinterpret_cast<std::size_t*>(base);
    std::free(base);
}

void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace heap_counter {

std::size_t Current() {
    return g_now;
}
void ResetPeak() {
    g_peak = g_now.load();
}
std::size_t Peak() {
    return g_peak;
}

} // namespace heap_counter

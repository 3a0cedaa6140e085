#include "tests/unit/fault_injection.h"

#include <atomic>
#include <cstdlib>
#include <new>

#ifdef _WIN32
#include <malloc.h>
#endif

namespace faultinject {
namespace {

// Atomics, which never allocate: an operation may run a second thread of its own (the
// installer's digest), whose allocations count as the operation's.
std::atomic<bool> g_armed{false};
std::atomic<bool> g_hit{false};
std::atomic<long> g_target{0};
std::atomic<long> g_count{0};
std::atomic<long> g_live{0};
std::atomic<int> g_window{0};

bool FailThisOne() {
    if (!g_armed || g_window == 0) return false;
    if (++g_count != g_target) return false;
    g_hit = true;
    g_armed = false;
    return true;
}

void *Plain(std::size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (block) ++g_live;
    return block;
}

void *Aligned(std::size_t size, std::align_val_t alignment) {
    std::size_t align = static_cast<std::size_t>(alignment);
    if (align < sizeof(void *)) align = sizeof(void *);
    if (size == 0) size = 1;
#ifdef _WIN32
    void *block = _aligned_malloc(size, align);
#else
    void *block = nullptr;
    if (posix_memalign(&block, align, size) != 0) block = nullptr;
#endif
    if (block) ++g_live;
    return block;
}

void PlainFree(void *block) {
    if (!block) return;
    --g_live;
    std::free(block);
}

void AlignedFree(void *block) {
    if (!block) return;
    --g_live;
#ifdef _WIN32
    _aligned_free(block);
#else
    std::free(block);
#endif
}

void *Throwing(void *block) {
    if (!block) throw std::bad_alloc();
    return block;
}

}  // namespace

Window::Window() {
    ++g_window;
}
Window::~Window() {
    --g_window;
}

void Arm(long nth) {
    g_count = 0;
    g_target = nth;
    g_hit = false;
    g_armed = true;
}

bool Disarm() {
    g_armed = false;
    return g_hit;
}

long LiveBlocks() {
    return g_live;
}

namespace {

Verdict Guarded(const Operation &operation, bool *threw) {
    *threw = false;
    try {
        return operation.run();
    } catch (...) {
        *threw = true;
        return Verdict::kWrong;
    }
}

}  // namespace

SweepReport Sweep(const Operation &operation, long limit) {
    SweepReport report;
    bool threw = false;
    // The first call also fills what the code keeps for good (caches, kept records).
    operation.reset();
    report.setup_ok = Guarded(operation, &threw) == Verdict::kSuccess && !threw;
    long baseline = LiveBlocks();
    for (long n = 1; n <= limit; ++n) {
        operation.reset();
        Arm(n);
        bool armed_threw = false;
        const Verdict verdict = Guarded(operation, &armed_threw);
        const bool hit = Disarm();
        operation.reset();
        const bool again = Guarded(operation, &threw) == Verdict::kSuccess && !threw;
        // Counted before the report grows: its own lists are blocks too.
        const long live = LiveBlocks();

        if (armed_threw)
            report.escaped.push_back(n);
        else if (verdict == Verdict::kWrong || (!hit && verdict != Verdict::kSuccess))
            report.wrong.push_back(n);
        if (!again) report.broken_after.push_back(n);
        if (live != baseline) report.leaked.push_back(n);
        baseline = LiveBlocks();
        if (!hit) {
            report.allocations = n - 1;
            break;
        }
        report.allocations = n;
    }
    return report;
}

std::string RunList(const std::vector<long> &runs) {
    std::string text = "n=";
    for (size_t i = 0; i < runs.size() && i < 8; ++i) {
        if (i) text += ',';
        text += std::to_string(runs[i]);
    }
    if (runs.size() > 8) text += ",... (" + std::to_string(runs.size()) + " runs)";
    return text;
}

}  // namespace faultinject

// The replaced allocation functions, every form.
void *operator new(std::size_t size) {
    if (faultinject::FailThisOne()) throw std::bad_alloc();
    return faultinject::Throwing(faultinject::Plain(size));
}
void *operator new[](std::size_t size) {
    if (faultinject::FailThisOne()) throw std::bad_alloc();
    return faultinject::Throwing(faultinject::Plain(size));
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    if (faultinject::FailThisOne()) return nullptr;
    return faultinject::Plain(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    if (faultinject::FailThisOne()) return nullptr;
    return faultinject::Plain(size);
}
void *operator new(std::size_t size, std::align_val_t alignment) {
    if (faultinject::FailThisOne()) throw std::bad_alloc();
    return faultinject::Throwing(faultinject::Aligned(size, alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
    if (faultinject::FailThisOne()) throw std::bad_alloc();
    return faultinject::Throwing(faultinject::Aligned(size, alignment));
}
void *operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    if (faultinject::FailThisOne()) return nullptr;
    return faultinject::Aligned(size, alignment);
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
    if (faultinject::FailThisOne()) return nullptr;
    return faultinject::Aligned(size, alignment);
}

void operator delete(void *block) noexcept {
    faultinject::PlainFree(block);
}
void operator delete[](void *block) noexcept {
    faultinject::PlainFree(block);
}
void operator delete(void *block, std::size_t) noexcept {
    faultinject::PlainFree(block);
}
void operator delete[](void *block, std::size_t) noexcept {
    faultinject::PlainFree(block);
}
void operator delete(void *block, const std::nothrow_t &) noexcept {
    faultinject::PlainFree(block);
}
void operator delete[](void *block, const std::nothrow_t &) noexcept {
    faultinject::PlainFree(block);
}
void operator delete(void *block, std::align_val_t) noexcept {
    faultinject::AlignedFree(block);
}
void operator delete[](void *block, std::align_val_t) noexcept {
    faultinject::AlignedFree(block);
}
void operator delete(void *block, std::size_t, std::align_val_t) noexcept {
    faultinject::AlignedFree(block);
}
void operator delete[](void *block, std::size_t, std::align_val_t) noexcept {
    faultinject::AlignedFree(block);
}
void operator delete(void *block, std::align_val_t, const std::nothrow_t &) noexcept {
    faultinject::AlignedFree(block);
}
void operator delete[](void *block, std::align_val_t, const std::nothrow_t &) noexcept {
    faultinject::AlignedFree(block);
}

// Allocation fault injection: the test program's own operator new (every form) counts the
// allocations made while armed and fails the chosen one, so that each public operation can be
// run with its first, second, ... allocation failing in turn.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace faultinject {

// Fails the nth allocation (from 1) made in a Window from now on: the throwing forms throw
// std::bad_alloc, the nothrow forms return null. Only that one fails.
void Arm(long nth);
// Stops counting; true when the armed allocation was reached (and failed).
bool Disarm();
// Only allocations made inside a window count: the operation's own, not the test's.
class Window {
   public:
    Window();
    ~Window();
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;
};
// Calls the operation in a window; the arguments are made before it opens.
template <class F, class... A>
decltype(auto) Call(F &&operation, A &&...arguments) {
    const Window window;
    return std::forward<F>(operation)(std::forward<A>(arguments)...);
}

// Blocks handed out by operator new and not yet deleted, over the whole program.
long LiveBlocks();

// What one call of an operation gave: its success result, its stated failure result, or
// anything else (a fault in itself).
enum class Verdict { kSuccess, kFailure, kWrong };

struct Operation {
    std::string name;
    // Puts the files, keys and state back as the call expects them (not armed).
    std::function<void()> reset;
    // Calls the operation once through Call, frees what it handed back and judges the result
    // (no test assertions here).
    std::function<Verdict()> run;
};

struct SweepReport {
    long allocations = 0;            // allocations the operation made when nothing failed
    bool setup_ok = true;            // the unarmed first call succeeded
    std::vector<long> escaped;       // n where an exception left the call
    std::vector<long> wrong;         // n where the result was neither success nor failure
    std::vector<long> broken_after;  // n after which an unarmed call no longer succeeded
    std::vector<long> leaked;        // n after which more blocks stayed live than before
    bool Clean() const {
        return setup_ok && escaped.empty() && wrong.empty() && broken_after.empty() &&
               leaked.empty();
    }
};

// Runs the operation with n = 1, 2, ... failing until a run no longer reaches the armed
// allocation (or limit runs were made). Every armed run is followed by an unarmed one that
// must succeed, and the count of live blocks must come back to where it stood.
SweepReport Sweep(const Operation &operation, long limit = 20000);
// "n=3,5,9" for a list of runs, shortened after a few.
std::string RunList(const std::vector<long> &runs);

}  // namespace faultinject

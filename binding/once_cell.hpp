// OnceCell<T>: a process-wide value set at most once and never cleared.
//
// Creation happens outside the cell (it may fail, and may run Python code
// that lets another thread in); store() then publishes the value with a
// compare-and-swap. When two threads race, the first stored value wins and
// the loser's value is destroyed (for an OwnedRef: released, which needs the
// interpreter lock the caller holds). A failed creation stores nothing, so
// the next use tries again. Stored values are intentionally leaked at exit.
#pragma once

#include <atomic>
#include <utility>

namespace larkspur::binding {

template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    [[nodiscard]] const T* get() const noexcept { return slot_.load(std::memory_order_acquire); }

    // Publishes `value` unless a value is already there; returns the value
    // that is stored in the end.
    const T& store(T value) {
        T* fresh = new T(std::move(value));
        T* expected = nullptr;
        if (slot_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return *fresh;
        }
        delete fresh;
        return *expected;
    }

private:
    std::atomic<T*> slot_{nullptr};
};

}  // namespace larkspur::binding

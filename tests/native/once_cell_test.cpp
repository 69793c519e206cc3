#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <thread>
#include <vector>

#include "binding/once_cell.hpp"

namespace {

using larkspur::binding::OnceCell;

TEST(OnceCell, FirstStoredValueWins) {
    OnceCell<int> cell;
    EXPECT_EQ(cell.get(), nullptr);
    EXPECT_EQ(cell.store(1), 1);
    EXPECT_EQ(cell.store(2), 1);
    ASSERT_NE(cell.get(), nullptr);
    EXPECT_EQ(*cell.get(), 1);
}

// Counts live instances so that a losing value is seen to be destroyed.
struct Tracked {
    explicit Tracked(int v, std::atomic<int>& live) : value(v), counter(&live) { ++*counter; }
    Tracked(Tracked&& other) noexcept : value(other.value), counter(std::exchange(other.counter, nullptr)) {}
    ~Tracked() {
        if (counter != nullptr) --*counter;
    }
    int value;
    std::atomic<int>* counter;
};

TEST(OnceCell, RacingThreadsAgreeAndLosersAreDiscarded) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> live{0};
        auto cell = std::make_unique<OnceCell<Tracked>>();
        constexpr int thread_count = 8;
        std::barrier start(thread_count);
        std::vector<const Tracked*> seen(thread_count);
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                seen[static_cast<std::size_t>(t)] = &cell->store(Tracked(t, live));
            });
        }
        for (auto& thread : threads) thread.join();
        for (const Tracked* value : seen) EXPECT_EQ(value, cell->get());
        EXPECT_EQ(live.load(), 1);  // only the stored value survives
    }
}

}  // namespace

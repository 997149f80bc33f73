// SPDX-License-Identifier: MIT
// The claims threads make on a stream's records, served in turn, and the
// count of forks that lets a child take over a claim its parent's other
// thread held.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tarnwick::stream {

// How many forks this process descends from, counted in each child: a
// claim made before a fork belongs to a thread that the child does not have.
extern std::atomic<std::uint64_t> forks;

// The turns of the threads that claim one stream's records: tickets drawn
// and served in order, so a thread that waits is served before any thread
// that comes after it (a loop of large extends on one thread cannot keep an
// update on another out for good). Touched only with the interpreter lock
// held, which orders every change. `generation` is the fork count of the
// process that drew the tickets: a forked child starts the queue again, its
// parent's other threads being gone.
struct ClaimQueue {
    std::atomic<std::uint64_t> generation{0};
    std::atomic<std::uint64_t> next{0};    // the ticket the next claim draws
    std::atomic<std::uint64_t> serving{0}; // the ticket whose turn it is
};

// Holds a stream's records for one thread. A thread whose turn has not come
// lets go of the interpreter lock until it does: the thread before it may be
// computing without the lock, and needs it back to finish.
//
// Every claim is made and ended with the interpreter lock held, which orders
// them, so relaxed loads and stores suffice: a locked exchange, a full
// barrier, would make each one-bar update wait for the previous bar's
// divisions.
class Claim {
  public:
    explicit Claim(ClaimQueue& queue) noexcept
        : queue_(queue), generation_(forks.load(std::memory_order_relaxed)) {
        if (queue_.generation.load(std::memory_order_relaxed) != generation_) {
            queue_.generation.store(generation_, std::memory_order_relaxed);
            queue_.next.store(0, std::memory_order_relaxed);
            queue_.serving.store(0, std::memory_order_relaxed);
        }
        const std::uint64_t ticket = queue_.next.load(std::memory_order_relaxed);
        queue_.next.store(ticket + 1, std::memory_order_relaxed);
        while (queue_.serving.load(std::memory_order_relaxed) != ticket) {
            PyThreadState* saved = PyEval_SaveThread();
            PyEval_RestoreThread(saved);
        }
    }
    ~Claim() {
        if (queue_.generation.load(std::memory_order_relaxed) == generation_) {
            queue_.serving.store(queue_.serving.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_relaxed);
        }
    }

    // Whether another thread of this process holds or awaits the claim: one
    // made now would let go of the interpreter lock while it waits.
    [[nodiscard]] static bool held_elsewhere(const ClaimQueue& queue) noexcept {
        return queue.generation.load(std::memory_order_relaxed) ==
                   forks.load(std::memory_order_relaxed) &&
               queue.serving.load(std::memory_order_relaxed) !=
                   queue.next.load(std::memory_order_relaxed);
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

  private:
    ClaimQueue& queue_;
    std::uint64_t generation_;
};

} // namespace tarnwick::stream

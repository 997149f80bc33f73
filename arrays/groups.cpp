// SPDX-License-Identifier: MIT
#include "groups.hpp"

#include "nan_scan.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace tarnwick::arrays {

namespace {

// How many rows ahead gathering and scattering ask for the line of a row's
// place: the rows of a shuffled table go to places all over the buffer, and
// without the lines on their way each store or load waits for memory in turn.
// A row takes a few nanoseconds, and a line from memory some hundred: 16
// rows ahead asked too late (64 took 6-15% less time than 16 from 1,000 to
// 20,000 groups; 256 no less than 64).
constexpr std::size_t fetch_ahead = 64;

// Asks for the cache line of `at` ahead of its use (`to_write` for a
// store); a hint only, nothing on compilers without it.
void fetch_line(const void* at, bool to_write) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    if (to_write) {
        __builtin_prefetch(at, 1);
    } else {
        __builtin_prefetch(at, 0);
    }
#else
    (void)at;
    (void)to_write;
#endif
}

Counts try_allocate(std::size_t n) noexcept {
    return Counts(n <= SIZE_MAX / sizeof(std::size_t) ? static_cast<std::size_t*>(std::malloc(
                                                            (n == 0 ? 1 : n) * sizeof(std::size_t)))
                                                      : nullptr);
}

// The block of each kind kept between calls, or null.
std::array<std::atomic<unsigned char*>, Scratch::kinds> kept{};

std::size_t size_of(const unsigned char* block) noexcept {
    std::size_t bytes = 0;
    std::memcpy(&bytes, block, sizeof bytes);
    return bytes;
}

constexpr std::size_t huge_page = std::size_t{2} << 20;

unsigned char* allocate_block(std::size_t bytes, std::size_t header) noexcept {
    void* block = nullptr;
#ifdef __linux__
    // Aligned to a huge page, and asking for huge pages: the rows are put in
    // place group by group, all over the block, and with small pages nearly
    // every row's write would miss the address cache.
    if (bytes >= huge_page) {
        const std::size_t whole = (header + bytes + huge_page - 1) / huge_page * huge_page;
        if (posix_memalign(&block, huge_page, whole) != 0) {
            return nullptr;
        }
#ifdef MADV_HUGEPAGE
        (void)madvise(block, whole, MADV_HUGEPAGE);
#endif
        bytes = whole - header;
    }
#endif
    if (block == nullptr) {
        block = std::malloc(header + bytes);
    }
    if (block != nullptr) {
        std::memcpy(block, &bytes, sizeof bytes);
    }
    return static_cast<unsigned char*>(block);
}

// Run `runs` (counted from 1) starts at row `row`: its start into `heads`,
// grown by doubling, room for `room` starts and the end. False, for the
// caller to record no more, when the memory cannot be had or once the runs
// pass a quarter of the rows: a table of that many runs is grouped by
// counting, and its starts would take about as much memory as the rows.
bool record_run(Counts& heads, std::size_t& room, std::size_t runs, std::size_t row) noexcept {
    if (room == SIZE_MAX) {
        return false;
    }
    if (runs >= room) {
        const std::size_t wanted = std::max<std::size_t>(1024, 2 * room);
        auto* grown = wanted <= SIZE_MAX / 4 / sizeof(std::size_t)
                          ? static_cast<std::size_t*>(
                                std::realloc(heads.get(), (wanted + 1) * sizeof(std::size_t)))
                          : nullptr;
        if (grown == nullptr) {
            heads.reset();
            return false;
        }
        (void)heads.release();
        heads.reset(grown);
        room = wanted;
    }
    heads[runs - 1] = row;
    return runs <= row / 4 + 1024;
}

} // namespace

bool Scratch::reserve(Kind kind, std::size_t bytes) noexcept {
    give_back();
    kind_ = kind;
    if (bytes > SIZE_MAX - header - huge_page) {
        return false;
    }
    unsigned char* found = kept[kind].exchange(nullptr, std::memory_order_acquire);
    if (found != nullptr && size_of(found) >= bytes) {
        block_ = found;
        return true;
    }
    std::free(found);
    block_ = allocate_block(bytes, header);
    return block_ != nullptr;
}

void Scratch::give_back() noexcept {
    unsigned char* block = std::exchange(block_, nullptr);
    if (block == nullptr || size_of(block) > kept_at_most) {
        std::free(block);
        return;
    }
    // Of two blocks, the larger is kept: it serves more calls.
    unsigned char* held = kept[kind_].load(std::memory_order_relaxed);
    do {
        if (held != nullptr && size_of(held) >= size_of(block)) {
            std::free(block);
            return;
        }
    } while (!kept[kind_].compare_exchange_weak(held, block, std::memory_order_acq_rel,
                                                std::memory_order_relaxed));
    std::free(held);
}

void Scratch::release_kept() noexcept {
    for (auto& block : kept) {
        std::free(block.exchange(nullptr, std::memory_order_acq_rel));
    }
}

bool Groups::make(std::span<const std::int64_t> codes) noexcept {
    rows_ = codes.size();
    count_ = 0;
    together_ = true;
    longest_ = 0;
    if (rows_ == 0) {
        start_ = try_allocate(1);
        return start_ != nullptr && (start_[0] = 0, true);
    }
    // Where each run of one code starts, while the runs are few enough to be
    // a sorted table's groups; then the codes' range, from the runs' heads
    // alone when they were all kept (a run holds one code), else from every
    // row. A sorted table's codes are read once, for a comparison each.
    std::size_t runs = 1;
    std::size_t room = 0;
    Counts heads;
    std::size_t kept_to = 1;
    for (; kept_to < rows_; ++kept_to) {
        if (codes[kept_to] != codes[kept_to - 1]) {
            ++runs;
            if (!record_run(heads, room, runs, kept_to)) {
                room = SIZE_MAX; // too many runs to keep: counted below instead
                break;
            }
        }
    }
    std::int64_t low = codes[0];
    std::int64_t high = codes[0];
    if (room != SIZE_MAX) {
        for (std::size_t g = 1; g < runs; ++g) {
            low = std::min(low, codes[heads[g]]);
            high = std::max(high, codes[heads[g]]);
        }
    } else {
        for (std::size_t q = 1; q < rows_; ++q) {
            low = std::min(low, codes[q]);
            high = std::max(high, codes[q]);
            runs += static_cast<std::size_t>(q > kept_to && codes[q] != codes[q - 1]);
        }
    }
    const auto width = static_cast<std::size_t>(static_cast<std::uint64_t>(high) -
                                                static_cast<std::uint64_t>(low)) +
                       1;
    // Codes from a wider range than tarnwick_frames._groups gives are not
    // grouped: their tallies would not fit.
    if (width == 0 || width / 4 > rows_ + 64) {
        return false;
    }
    if (room != SIZE_MAX) {
        // Each run's code new: each key's rows lie together, no count needed.
        Counts seen = try_allocate(width);
        if (runs == 1) {
            heads = try_allocate(2);
        }
        if (!seen || !heads) {
            return false;
        }
        std::fill_n(seen.get(), width, std::size_t{0});
        bool distinct = true;
        for (std::size_t g = 0; g < runs && distinct; ++g) {
            const std::size_t head = g == 0 ? 0 : heads[g];
            std::size_t& mark = seen[static_cast<std::size_t>(codes[head] - low)];
            distinct = mark == 0;
            mark = 1;
        }
        if (distinct) {
            heads[0] = 0;
            heads[runs] = rows_;
            for (std::size_t g = 0; g < runs; ++g) {
                longest_ = std::max(longest_, heads[g + 1] - heads[g]);
            }
            count_ = runs;
            start_ = std::move(heads);
            return true;
        }
    }
    // Rows per code, then where each code's rows start.
    Counts next = try_allocate(width);
    Counts order = try_allocate(width);
    if (!next || !order) {
        return false;
    }
    std::fill_n(next.get(), width, std::size_t{0});
    for (std::size_t r = 0; r < rows_; ++r) {
        ++next[static_cast<std::size_t>(codes[r] - low)];
    }
    for (std::size_t k = 0; k < width; ++k) {
        if (next[k] != 0) {
            order[count_++] = k;
            longest_ = std::max(longest_, next[k]);
        }
    }
    start_ = try_allocate(count_ + 1);
    if (!start_) {
        return false;
    }
    // Each key's rows together (a table sorted by symbol): the groups are
    // read and written where they lie, in the order they come.
    together_ = runs == count_;
    if (together_) {
        std::size_t g = 0;
        for (std::size_t r = 0; r < rows_; ++r) {
            if (r == 0 || codes[r] != codes[r - 1]) {
                start_[g++] = r;
            }
        }
        start_[count_] = rows_;
        return true;
    }
    const std::size_t width_of_place =
        rows_ <= UINT32_MAX ? sizeof(std::uint32_t) : sizeof(std::size_t);
    if (rows_ > SIZE_MAX / width_of_place ||
        !place_.reserve(Scratch::places, rows_ * width_of_place)) {
        return false;
    }
    std::sort(order.get(), order.get() + count_, [&](std::size_t a, std::size_t b) {
        return next[a] != next[b] ? next[a] < next[b] : a < b;
    });
    std::size_t at = 0;
    for (std::size_t g = 0; g < count_; ++g) {
        start_[g] = at;
        at += std::exchange(next[order[g]], at);
    }
    start_[count_] = at;
    with_places([&](auto* place) {
        using Place = std::remove_pointer_t<decltype(place)>;
        for (std::size_t r = 0; r < rows_; ++r) {
            place[r] = static_cast<Place>(next[static_cast<std::size_t>(codes[r] - low)]++);
        }
    });
    return true;
}

void Groups::gather(std::span<const double> values, double* into) const noexcept {
    with_places([&](const auto* place) {
        const std::size_t fetched = rows_ > fetch_ahead ? rows_ - fetch_ahead : 0;
        for (std::size_t r = 0; r < rows_; ++r) {
            if (r < fetched) {
                fetch_line(into + place[r + fetch_ahead], true);
            }
            into[place[r]] = values[r];
        }
    });
}

void Groups::scatter(const double* grouped, RowOutput out, std::size_t fields) const noexcept {
    with_places([&](const auto* place) {
        const std::size_t fetched = rows_ > fetch_ahead ? rows_ - fetch_ahead : 0;
        for (std::size_t r = 0; r < rows_; ++r) {
            if (r < fetched) {
                fetch_line(grouped + std::size_t{place[r + fetch_ahead]} * fields, false);
            }
            const double* values = grouped + std::size_t{place[r]} * fields;
            for (std::size_t f = 0; f < fields; ++f) {
                out.field(f).put(r, values[f]);
            }
        }
    });
}

std::size_t Groups::holding_nan(const double* grouped) const noexcept {
    std::size_t holding = 0;
    for (std::size_t g = 0; g < count_; ++g) {
        holding += holds_nan({grouped + start_[g], grouped + start_[g + 1]}) ? 1U : 0U;
    }
    return holding;
}

} // namespace tarnwick::arrays

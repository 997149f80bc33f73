// SPDX-License-Identifier: MIT
#include "groups.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace tarnwick::arrays {

namespace {

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

bool Groups::make(std::span<const std::int64_t> codes) noexcept {
    rows_ = codes.size();
    count_ = 0;
    together_ = true;
    longest_ = 0;
    if (rows_ == 0) {
        start_ = try_allocate(1);
        return start_ != nullptr && (start_[0] = 0, true);
    }
    const auto [low, high] = std::ranges::minmax(codes);
    const auto width = static_cast<std::size_t>(static_cast<std::uint64_t>(high) -
                                                static_cast<std::uint64_t>(low)) +
                       1;
    // Codes from a wider range than tarnwick_frames._groups gives are not
    // grouped: their tallies would not fit.
    if (width == 0 || width / 4 > rows_ + 64) {
        return false;
    }
    // Rows per code, then where each code's rows start.
    Counts next = try_allocate(width);
    Counts order = try_allocate(width);
    if (!next || !order) {
        return false;
    }
    std::fill_n(next.get(), width, std::size_t{0});
    std::size_t runs = 1;
    for (std::size_t r = 0; r < rows_; ++r) {
        ++next[static_cast<std::size_t>(codes[r] - low)];
        runs += r > 0 && codes[r] != codes[r - 1] ? 1U : 0U;
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
    if (rows_ > SIZE_MAX / sizeof(std::size_t) ||
        !place_.reserve(Scratch::places, rows_ * sizeof(std::size_t))) {
        return false;
    }
    std::size_t* place = place_.as<std::size_t>();
    std::sort(order.get(), order.get() + count_, [&](std::size_t a, std::size_t b) {
        return next[a] != next[b] ? next[a] < next[b] : a < b;
    });
    std::size_t at = 0;
    for (std::size_t g = 0; g < count_; ++g) {
        start_[g] = at;
        at += std::exchange(next[order[g]], at);
    }
    start_[count_] = at;
    for (std::size_t r = 0; r < rows_; ++r) {
        place[r] = next[static_cast<std::size_t>(codes[r] - low)]++;
    }
    return true;
}

void Groups::gather(std::span<const double> values, double* into) const noexcept {
    gather(std::array<std::span<const double>, 1>{values}, into);
}

void Groups::scatter(const double* grouped, RowOutput out) const noexcept {
    const std::size_t* place = place_.as<std::size_t>();
    for (std::size_t r = 0; r < rows_; ++r) {
        out.put(r, grouped[place[r]]);
    }
}

std::size_t Groups::holding_nan(const double* grouped) const noexcept {
    std::size_t holding = 0;
    for (std::size_t g = 0; g < count_; ++g) {
        holding += std::any_of(grouped + start_[g], grouped + start_[g + 1],
                               [](double v) { return v != v; })
                       ? 1U
                       : 0U;
    }
    return holding;
}

} // namespace tarnwick::arrays

#include "qrnlibl/qrn_time.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "qrn_timer_wake.h"

namespace {

constexpr uint32_t kMaxClockFactor = 1000;
constexpr uint64_t kMicrosPerMilli = 1000;
// The clock counts library microseconds modulo this, so that its milliseconds wrap at 2^32.
constexpr uint64_t kClockModulus = kMicrosPerMilli << 32;
constexpr uint32_t kFactorShift = 42;  // above every offset, since kClockModulus < 2^42
constexpr uint64_t kOffsetMask = (uint64_t{1} << kFactorShift) - 1;

// The clock as one word, so that readers never see a factor with the wrong offset: the factor
// in the upper bits, and in the lower bits the offset that, added to the scaled real time,
// gives library microseconds. Keeping microseconds rather than ticks lets a change of factor
// continue from the exact point reached, without losing or repeating part of a tick.
std::atomic<uint64_t> g_clock_state{uint64_t{1} << kFactorShift};

uint64_t real_micros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t state_factor(uint64_t state) { return static_cast<uint32_t>(state >> kFactorShift); }
uint64_t state_offset(uint64_t state) { return state & kOffsetMask; }
uint64_t make_state(uint32_t factor, uint64_t offset) {
    return (static_cast<uint64_t>(factor) << kFactorShift) | offset;
}

// Library microseconds, modulo kClockModulus, at real time micros.
uint64_t library_micros(uint64_t state, uint64_t micros) {
    return (micros * state_factor(state) % kClockModulus + state_offset(state)) % kClockModulus;
}

// The offset that makes the clock read library_us at real time micros with this factor.
uint64_t offset_for(uint64_t library_us, uint64_t micros, uint32_t factor) {
    return (library_us + kClockModulus - micros * factor % kClockModulus) % kClockModulus;
}

uint32_t tick_at(uint64_t state, uint64_t micros) {
    return static_cast<uint32_t>(library_micros(state, micros) / kMicrosPerMilli);
}

uint32_t clamp_factor(uint32_t factor) {
    if (factor == 0) return 1;
    return factor > kMaxClockFactor ? kMaxClockFactor : factor;
}

// Replaces the clock state by next(old state, real time), anchored at one real instant.
template <class Next>
void update_clock(Next next) {
    uint64_t old = g_clock_state.load(std::memory_order_acquire);
    for (;;) {
        const uint64_t now = real_micros();
        if (g_clock_state.compare_exchange_weak(old, next(old, now), std::memory_order_acq_rel))
            break;
    }
    qrn_timer_wake();
}

// Real microseconds for ms milliseconds of the library clock, rounded up.
uint64_t real_micros_for(uint32_t ms) {
    const uint32_t factor = qrn_clock_get_factor();
    return (static_cast<uint64_t>(ms) * kMicrosPerMilli + factor - 1) / factor;
}

}  // namespace

extern "C" {

uint32_t get_tick_count(void) {
    // The state is read on both sides of the real time, so the pair is one that held at
    // that instant even while another thread changes the factor.
    uint64_t state = g_clock_state.load(std::memory_order_acquire);
    for (;;) {
        const uint64_t now = real_micros();
        const uint64_t again = g_clock_state.load(std::memory_order_acquire);
        if (again == state) return tick_at(state, now);
        state = again;
    }
}

uint32_t calc_tick_diff(uint32_t earlier, uint32_t later) { return later - earlier; }

int calc_word_distance(uint16_t a, uint16_t b) {
    constexpr uint32_t kHalf = 0x8000;
    constexpr int kRange = 0x10000;
    const uint32_t forward = static_cast<uint16_t>(b - a);
    // Exactly half the range apart counts as behind, like a 16-bit signed difference.
    return forward < kHalf ? static_cast<int>(forward) : static_cast<int>(forward) - kRange;
}

int32_t calc_dword_distance(uint32_t a, uint32_t b) {
    constexpr uint32_t kHalf = 0x80000000u;
    const uint32_t forward = b - a;
    if (forward < kHalf) return static_cast<int32_t>(forward);
    // forward - 2^32 without leaving the range of int32_t; half the range apart is INT32_MIN.
    return -static_cast<int32_t>(UINT32_MAX - forward) - 1;
}

void qrn_sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(real_micros_for(ms)));
}

void qrn_clock_set_factor(uint32_t factor) {
    const uint32_t next_factor = clamp_factor(factor);
    update_clock([next_factor](uint64_t old, uint64_t now) {
        return make_state(next_factor, offset_for(library_micros(old, now), now, next_factor));
    });
}

uint32_t qrn_clock_get_factor(void) {
    return state_factor(g_clock_state.load(std::memory_order_acquire));
}

void qrn_clock_set_tick(uint32_t tick) {
    update_clock([tick](uint64_t old, uint64_t now) {
        const uint32_t factor = state_factor(old);
        return make_state(factor, offset_for(tick * kMicrosPerMilli, now, factor));
    });
}

uint32_t qrn_clock_real_ms(uint32_t ms) {
    if (ms == 0) return 0;
    const uint32_t factor = qrn_clock_get_factor();
    return static_cast<uint32_t>((static_cast<uint64_t>(ms) + factor - 1) / factor);
}

}  // extern "C"

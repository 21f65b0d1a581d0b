#include "delay.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "clock.h"
#include "endpoint.h"

double (*calibration_work)(int64_t count) = busy_work;

namespace {

// Truncates toward zero like a cast, but saturates where a cast would be
// undefined (out of range, or NaN).
constexpr double two_to_63 = 0x1p63;  // the first double past INT64_MAX

int64_t truncate_to_int64(double value) {
  if (value != value) return 0;
  if (value >= two_to_63) return INT64_MAX;
  if (value <= -two_to_63) return INT64_MIN;
  return static_cast<int64_t>(value);
}

// The delay draw's two moduli: the product term spans about 2^31 and the
// added term fills in between its steps.
constexpr int32_t draw_product_modulus = 32766;
constexpr int32_t draw_offset_modulus = 196604;

constexpr double nanosecs_per_usec = 1000.0;

// Next trial's count: at least one more than this one.
int64_t grow_count(int64_t count, double ratio) {
  int64_t scaled = truncate_to_int64(static_cast<double>(count) * ratio);
  if (scaled > count) return scaled;
  return count == INT64_MAX ? count : count + 1;
}

// glibc's rand yields 31 bits; the draws must be 15. Its high bits are the
// better mixed ones in an additive generator, so take bits 16-30.
static_assert(RAND_MAX == 0x7fffffff || RAND_MAX == 0x7fff, "rand width");
constexpr int rand_shift = RAND_MAX == 0x7fffffff ? 16 : 0;

int32_t draw15() {
  return std::rand() >> rand_shift;
}

}  // namespace

int64_t calibrate_delay(int64_t *duration) {
  const int64_t target = *duration;
  int64_t count = 0;
  double ratio = 0.0;
  for (int trials = 1;; ++trials) {
    count = count == 0 ? calibration_first_count : grow_count(count, ratio);
    int64_t t0 = now_usecs();
    calibration_work(count);
    int64_t elapsed = now_usecs() - t0;
    // A clock that did not move says nothing but "too short": double.
    ratio = elapsed == 0 ? 2.0 : static_cast<double>(target) / static_cast<double>(elapsed);
    if (ratio <= 1.0) {
      *duration = elapsed;
      return count;
    }
    if (trials == calibration_max_trials) {
      std::fprintf(stderr, "Couldn't converage delay_iters loop after %d iters\n", trials);
      return 0;
    }
  }
}

int32_t draw_random() {
  int32_t r1 = draw15();
  int32_t r2 = draw15();
  int32_t r3 = draw15();
  int32_t r4 = draw15();
  return r1 * (r2 % draw_product_modulus) * (1 + r3 % 2) + r4 % draw_offset_modulus;
}

bool parse_delay_range(const char *text, delay_range *range) {
  const char *end;
  range->low = parse_u32_base0(text, &end);
  range->high = range->low;
  if (*end == '-') {
    range->high = parse_u32_base0(end + 1, nullptr);
  }
  return range->high >= range->low;
}

int64_t draw_delay(const delay_range &range) {
  int64_t span = static_cast<int64_t>(range.high) - range.low + 1;
  auto draw = static_cast<int64_t>(static_cast<uint32_t>(draw_random()));
  return static_cast<int64_t>(range.low) + draw % span;
}

int64_t iterations_for(int64_t nanosecs, int64_t count, int64_t duration) {
  return truncate_to_int64(static_cast<double>(nanosecs) * static_cast<double>(count) /
                           static_cast<double>(duration) / nanosecs_per_usec);
}

void run_delay_step(delay_state *delay) {
  if (delay->delay_iters <= 0) return;
  busy_work(delay->delay_iters);
  delay->current_delay = draw_delay(delay->range);
  delay->delay_iters =
      iterations_for(delay->current_delay, delay->calibration_count, delay->calibration_duration);
}

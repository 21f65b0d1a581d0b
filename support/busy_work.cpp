#include "delay.h"

namespace {

double multiplier_constant = 1.000001;
// volatile so that every turn loads both and stores the product: the cost
// per iteration stays fixed, which the calibration depends on.
volatile double working_multiplier;
volatile double running_product;

}  // namespace

double busy_work(int64_t count) {
  working_multiplier = multiplier_constant;
  running_product = 1.0;
  // One multiplication per loop turn on every compiler: unrolling would
  // make the cost of a count depend on count modulo the unroll factor.
#pragma GCC unroll 1
  for (int64_t i = 0; i < count; ++i) running_product = running_product * working_multiplier;
  return running_product;
}

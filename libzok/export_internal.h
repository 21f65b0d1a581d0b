// The library is built with hidden visibility; only the C interface of
// zok/zok.h is exported.
#pragma once

#define ZOK_EXPORT extern "C" __attribute__((visibility("default")))

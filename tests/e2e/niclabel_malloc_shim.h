/* The allocation size the preloaded shim refuses: a -s name one byte
 * shorter, with its NUL, asks for exactly this. */
#pragma once

#define NICLABEL_REFUSED_ALLOCATION 4242

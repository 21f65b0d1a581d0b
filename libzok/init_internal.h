#pragma once

namespace zok {

// True once zok_init(258) has succeeded in this process. Every other
// operation answers EPERM before that.
bool library_initialized() noexcept;

}  // namespace zok

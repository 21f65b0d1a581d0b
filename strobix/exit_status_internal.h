// Exit statuses of strobix, the only values main hands back.
#pragma once

inline constexpr int exit_ok = 0;
inline constexpr int exit_unknown_option = 1;
// Every other command-line error, and a socket that cannot be set up or
// stops taking packets (the address or port given cannot be used).
inline constexpr int exit_usage_error = 255;

// Exit statuses of camctl, the only values main hands back.
#pragma once

inline constexpr int exit_ok = 0;
// The device refused a command, the description could not be used, a
// socket could not be had.
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage_error = 2;
// Another application holds the camera's control channel.
inline constexpr int exit_access_denied = 3;
// The camera did not answer (at all, or any more while streaming).
inline constexpr int exit_no_answer = 4;

// The fixed texts only workergrab prints, apart from its usage.
#pragma once

namespace worker_text {

inline constexpr char create_failed[] = "failed to create receive worker rc";
inline constexpr char start_failed[] = "failed to start receive worker";
inline constexpr char status_failed[] = "failed to get state of receive worker";
inline constexpr char stop_failed[] = "failed to stop receive worker";
inline constexpr char thread_state[] = "RWDT Thread State: %u";
inline constexpr char thread_mode[] = "RWDT Thread Mode: %u";
inline constexpr char block_processing_mode[] = "RWDT Block Processing Mode: %u";
inline constexpr char start_id_null[] = "starting request id is NULL";
inline constexpr char max_requests_null[] = "max requests is NULL";

}  // namespace worker_text

// 4-lane Shabal-256 and nonce group for SSE4.1 (this file alone is built with -msse4.1).
#include "nonce/shabal_sse_ops.inc"

#define LANES 4
#define LANES_CTX shabal_x4_s
#define LANES_OPS sse_ops
#define LANES_NAME(f) shabal_x4_sse41_##f
#define LANES_GROUP nonce_group_x4_sse41
#include "nonce/shabal_lanes_impl.inc"

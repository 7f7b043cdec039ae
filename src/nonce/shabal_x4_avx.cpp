// 4-lane Shabal-256 and nonce group for AVX (this file alone is built with -mavx).
#include "nonce/shabal_sse_ops.inc"

#define LANES 4
#define LANES_CTX shabal_x4_s
#define LANES_OPS sse_ops
#define LANES_NAME(f) shabal_x4_avx_##f
#define LANES_GROUP nonce_group_x4_avx
#include "nonce/shabal_lanes_impl.inc"

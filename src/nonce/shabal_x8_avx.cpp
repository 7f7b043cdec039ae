// 8-lane Shabal-256 and nonce group for AVX as two interleaved 4-lane vectors
// (this file alone is built with -mavx).
#include "nonce/shabal_sse_ops.inc"
#include "nonce/shabal_pair_ops.inc"

#define LANES 8
#define LANES_CTX shabal_x8_s
#define LANES_OPS pair_ops<sse_ops>
#define LANES_NAME(f) shabal_x8_avx_##f
#define LANES_GROUP nonce_group_x8_avx
#include "nonce/shabal_lanes_impl.inc"

// 16-lane Shabal-256 and nonce group for AVX2 as two interleaved 8-lane vectors (this
// file alone is built with -mavx2).
#include "nonce/shabal_avx2_ops.inc"
#include "nonce/shabal_pair_ops.inc"

#define LANES 16
#define LANES_CTX shabal_x16_s
#define LANES_OPS pair_ops<avx2_ops>
#define LANES_NAME(f) shabal_x16_avx2_##f
#define LANES_GROUP nonce_group_x16_avx2
#include "nonce/shabal_lanes_impl.inc"

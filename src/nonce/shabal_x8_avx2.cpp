// 8-lane Shabal-256 and nonce group for AVX2 (this file alone is built with -mavx2).
#include "nonce/shabal_avx2_single.inc"

#define LANES 8
#define LANES_CTX shabal_x8_s
#define LANES_COMPRESS avx2_single::compress
#define LANES_VEC_OPS avx2_ops
#define LANES_NAME(f) shabal_x8_##f
#define LANES_GROUP nonce_group_x8
#include "nonce/shabal_lanes_impl.inc"

// 16-lane Shabal-256 and nonce group for AVX2 as two 8-lane states stepped together
// (this file alone is built with -mavx2).
#include "nonce/shabal_avx2_multi.inc"

#define LANES 16
#define LANES_CTX shabal_x16_s
#define LANES_COMPRESS avx2_multi<2>::compress
#define LANES_VEC_OPS avx2_ops
#define LANES_NAME(f) shabal_x16_avx2_##f
#define LANES_GROUP nonce_group_x16_avx2
#include "nonce/shabal_lanes_impl.inc"

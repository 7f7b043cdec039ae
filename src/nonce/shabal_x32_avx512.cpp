// 32-lane Shabal-256 and nonce group for AVX-512F as two 16-lane states stepped together
// (this file alone is built with -mavx512f).
#include "nonce/shabal_avx512_multi.inc"

#define LANES 32
#define LANES_CTX shabal_x32_s
#define LANES_COMPRESS avx512_multi<2>::compress
#define LANES_VEC_OPS avx512_ops
#define LANES_NAME(f) shabal_x32_##f
#define LANES_GROUP nonce_group_x32
#include "nonce/shabal_lanes_impl.inc"

// 16-lane Shabal-256 and nonce group for AVX-512F (this file alone is built with -mavx512f).
#include "nonce/shabal_avx512_single.inc"

#define LANES 16
#define LANES_CTX shabal_x16_s
#define LANES_COMPRESS avx512_single::compress
#define LANES_VEC_OPS avx512_ops
#define LANES_NAME(f) shabal_x16_##f
#define LANES_GROUP nonce_group_x16
#include "nonce/shabal_lanes_impl.inc"

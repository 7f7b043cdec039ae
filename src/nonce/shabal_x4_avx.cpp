// 4-lane Shabal-256 and nonce group for AVX (this file alone is built with -mavx).
#define LANES_NAME(f) shabal_x4_avx_##f
#define LANES_GROUP nonce_group_x4_avx
#include "nonce/shabal_x4_impl.inc"

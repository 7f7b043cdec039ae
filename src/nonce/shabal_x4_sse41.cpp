// 4-lane Shabal-256 and nonce group for SSE4.1 (this file alone is built with -msse4.1).
#define LANES_NAME(f) shabal_x4_sse41_##f
#define LANES_GROUP nonce_group_x4_sse41
#include "nonce/shabal_x4_impl.inc"

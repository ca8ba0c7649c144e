#if defined(__clang__)
#pragma clang attribute pop
#endif

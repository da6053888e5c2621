// One plain loop compiled for each vector width: DENDRO_VECTOR_LEVELS
// defines Name(Params) that runs Loop(Args), inlined into a copy built for
// AVX-512, one for AVX2 and the plain build, the copy picked by the kernel
// level in use. Loop must be an always-inline function; a loop that rounds
// exactly where the text says gives the same bits in every copy.
#pragma once

#include "kernels/kernels.h"

#define DENDRO_VECTOR_LEVELS(Ret, Name, Loop, Params, Args)                          \
    __attribute__((target("avx512f"))) Ret Name##Avx512 Params { return Loop Args; } \
    __attribute__((target("avx2"))) Ret Name##Avx2 Params { return Loop Args; }      \
    Ret Name Params {                                                                \
        switch (ActiveKernelLevel()) {                                               \
            case KernelLevel::Avx512: return Name##Avx512 Args;                      \
            case KernelLevel::Avx2: return Name##Avx2 Args;                          \
            default: return Loop Args;                                               \
        }                                                                            \
    }

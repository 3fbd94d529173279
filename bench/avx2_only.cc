// Preloaded into a benchmark (NEROVA_AVX2_ONLY in scripts/bench), this makes XNNPACK on an
// AVX-512 machine pick the kernels it runs on an AVX2 one: the CPU's description it asks
// for loses every AVX-512 extension once filled in. XNNPACK has no switch of its own; OpenCV
// is held back by OPENCV_CPU_DISABLE instead. A measurement, not an AVX2 machine: the clock
// and caches stay the AVX-512 core's.
#include <cpuinfo.h>
#include <dlfcn.h>

extern "C" __attribute__((visibility("default"))) bool cpuinfo_initialize(void) {
    auto real = reinterpret_cast<bool (*)(void)>(dlsym(RTLD_NEXT, "cpuinfo_initialize"));
    const bool ready = real && real();
    cpuinfo_x86_isa* isa = &cpuinfo_isa;
    isa->avx512f = isa->avx512pf = isa->avx512er = isa->avx512cd = isa->avx512dq = false;
    isa->avx512bw = isa->avx512vl = isa->avx512ifma = isa->avx512vbmi = isa->avx512vbmi2 = false;
    isa->avx512bitalg = isa->avx512vpopcntdq = isa->avx512vnni = isa->avx512bf16 = false;
    isa->avx512vp2intersect = isa->avx512_4vnniw = isa->avx512_4fmaps = false;
    return ready;
}

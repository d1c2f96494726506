// Which kernel set runs: the widest that this build and the processor have,
// chosen on first use, unless a caller (a test or a benchmark) chose one.
// This choice is the engine's only process-wide state; it changes no result.

#include "engine/vector_kernels.h"

#include <array>
#include <atomic>

namespace calmora {

#if defined(CALMORA_VECTOR_X86)
extern const VectorKernels kSse4Kernels;
extern const VectorKernels kAvx2Kernels;
extern const VectorKernels kAvx512Kernels;
#elif defined(CALMORA_VECTOR_GENERIC)
extern const VectorKernels kGenericKernels;
#endif

namespace {

const VectorKernels* tableOf(KernelSet set)
{
    switch (set) {
#if defined(CALMORA_VECTOR_X86)
    case KernelSet::kSse4:
        return &kSse4Kernels;
    case KernelSet::kAvx2:
        return &kAvx2Kernels;
    case KernelSet::kAvx512:
        return &kAvx512Kernels;
#elif defined(CALMORA_VECTOR_GENERIC)
    case KernelSet::kVector:
        return &kGenericKernels;
#endif
    default:
        return nullptr;
    }
}

// The features each set is built for (its compiler options in CMake).
bool processorHas(KernelSet set)
{
#if defined(CALMORA_VECTOR_X86)
    switch (set) {
    case KernelSet::kSse4:
        return __builtin_cpu_supports("sse4.2");
    case KernelSet::kAvx2:
        return __builtin_cpu_supports("avx2");
    case KernelSet::kAvx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
            && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    default:
        break;
    }
#endif
    return true;
}

// Asked once: the answers do not change while the process runs.
bool available(KernelSet set)
{
    static const auto usable = [] {
        constexpr int kSets = static_cast<int>(KernelSet::kAvx512) + 1;
        std::array<bool, kSets> sets {};
        for (int i = 0; i < kSets; ++i) {
            const auto candidate = static_cast<KernelSet>(i);
            sets[static_cast<size_t>(i)] = candidate == KernelSet::kScalar
                || (tableOf(candidate) != nullptr && processorHas(candidate));
        }
        return sets;
    }();
    const auto index = static_cast<size_t>(set);
    return index < usable.size() && usable[index];
}

KernelSet widestSet()
{
    static const KernelSet widest = [] {
        for (KernelSet set :
            { KernelSet::kAvx512, KernelSet::kAvx2, KernelSet::kSse4, KernelSet::kVector }) {
            if (available(set))
                return set;
        }
        return KernelSet::kScalar;
    }();
    return widest;
}

constexpr int32_t kNotChosen = -1;
std::atomic<int32_t> g_chosen { kNotChosen };

} // namespace

KernelSet activeKernelSet()
{
    const int32_t chosen = g_chosen.load(std::memory_order_relaxed);
    return chosen == kNotChosen ? widestSet() : static_cast<KernelSet>(chosen);
}

bool selectKernelSet(KernelSet set)
{
    if (!available(set))
        return false;
    g_chosen.store(static_cast<int32_t>(set), std::memory_order_relaxed);
    return true;
}

const char* kernelSetName(KernelSet set)
{
    switch (set) {
    case KernelSet::kScalar:
        return "scalar";
    case KernelSet::kVector:
        return "vector";
    case KernelSet::kSse4:
        return "SSE4";
    case KernelSet::kAvx2:
        return "AVX2";
    case KernelSet::kAvx512:
        return "AVX-512";
    }
    return "unknown";
}

const VectorKernels* vectorKernels()
{
    return tableOf(activeKernelSet());
}

} // namespace calmora

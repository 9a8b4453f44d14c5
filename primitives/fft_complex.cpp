// Complex FFT primitives: spec creation and release, buffer-size query, and
// forward and inverse transforms (direct kernels below order 4).

#include <cmath>
#include <cstring>

#include "primitives/internal/aligned.h"
#include "primitives/internal/fft_kernels.h"
#include "primitives/internal/fft_spec.h"
#include "primitives/internal/fft_tables.h"
#include "primitives/internal/generic.h"

namespace sp::internal {

PrimitiveStatus AllocateSpec(FftSpec** specOut, int order, int flag, int hint, int32_t kind,
                             FftSpec** created) {
    if (specOut == nullptr) return StatusNullPointer;
    if (order < 0 || order > MaxFftOrder) return StatusBadOrder;
    auto* spec = static_cast<FftSpec*>(AllocateAligned(sizeof(FftSpec)));
    if (spec == nullptr) return StatusNoMemory;
    std::memset(spec, 0, sizeof(FftSpec));
    spec->kind = kind;
    spec->order = order;
    spec->hint = hint;
    // 1/N is a power of two, exact in float for every order.
    const float inverseLength = std::ldexp(1.0f, -order);
    switch (flag) {
        case FftScaleNone:
            break;
        case FftScaleForward:
            spec->forwardScaled = 1;
            spec->scaleFactor = inverseLength;
            break;
        case FftScaleInverse:
            spec->inverseScaled = 1;
            spec->scaleFactor = inverseLength;
            break;
        case FftScaleSqrt:
            spec->forwardScaled = 1;
            spec->inverseScaled = 1;
            spec->scaleFactor = static_cast<float>(1.0 / std::sqrt(std::ldexp(1.0, order)));
            break;
        default:
            ReleaseSpec(spec);
            return StatusBadFlag;
    }
    *created = spec;
    return StatusOk;
}

bool AcquireWorkArea(const FftSpec& spec, uint8_t* buffer, WorkArea* area) {
    *area = WorkArea{};
    if (spec.bufferSize == 0) return true;
    if (buffer != nullptr) {
        const auto address = reinterpret_cast<std::uintptr_t>(buffer);
        const std::uintptr_t skip =
            (WorkBufferAlignment - address % WorkBufferAlignment) % WorkBufferAlignment;
        area->data = reinterpret_cast<float*>(buffer + skip);
        return true;
    }
    area->owned = AllocateAligned(static_cast<std::size_t>(spec.bufferSize));
    area->data = static_cast<float*>(area->owned);
    return area->owned != nullptr;
}

void ReleaseWorkArea(const WorkArea& area) { ReleaseAligned(area.owned); }

}  // namespace sp::internal

namespace sp::generic {
namespace {

using internal::ComplexSpecKind;

struct Complex {
    float re;
    float im;
};

Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
Complex operator*(float s, Complex a) { return {s * a.re, s * a.im}; }

// Times -i in the forward form, +i in the inverse.
template <bool Inverse>
Complex Rotate(Complex a) {
    return Inverse ? Complex{-a.im, a.re} : Complex{a.im, -a.re};
}

// cos(pi/4) rounded to float, 0x3F3504F3.
constexpr float Cos45 = 0.70710677f;

// Times w8 = c (1 - i) in the forward form, conj(w8) = c (1 + i) in the inverse.
template <bool Inverse>
Complex RotateEighth(Complex a) {
    return Inverse ? Complex{Cos45 * (a.re - a.im), Cos45 * (a.im + a.re)}
                   : Complex{Cos45 * (a.re + a.im), Cos45 * (a.im - a.re)};
}

// Direct DFT of 1, 2, 4 or 8 points by radix-2 levels; the first level's sums
// and differences carry the scale factor s when scaled. Every input is read
// before any output is written, so src may equal dst.
template <bool Inverse>
void DirectKernel(const Complex* x, Complex* out, int order, bool scaled, float s) {
    switch (order) {
        case 0:
            out[0] = scaled ? s * x[0] : x[0];
            return;
        case 1: {
            Complex sum = x[0] + x[1], diff = x[0] - x[1];
            if (scaled) sum = s * sum, diff = s * diff;
            out[0] = sum;
            out[1] = diff;
            return;
        }
        case 2: {
            Complex a[4] = {x[0] + x[2], x[0] - x[2], x[1] + x[3], x[1] - x[3]};
            if (scaled) {
                for (Complex& v : a) v = s * v;
            }
            const Complex rotated = Rotate<Inverse>(a[3]);
            out[0] = a[0] + a[2];
            out[2] = a[0] - a[2];
            out[1] = a[1] + rotated;
            out[3] = a[1] - rotated;
            return;
        }
        default: {
            // Even samples a[0..3], odd samples b[0..3]: first-level pairs n, n+4.
            Complex a[4] = {x[0] + x[4], x[0] - x[4], x[2] + x[6], x[2] - x[6]};
            Complex b[4] = {x[1] + x[5], x[1] - x[5], x[3] + x[7], x[3] - x[7]};
            if (scaled) {
                for (Complex& v : a) v = s * v;
                for (Complex& v : b) v = s * v;
            }
            const Complex e0 = a[0] + a[2], e2 = a[0] - a[2];
            const Complex e1 = a[1] + Rotate<Inverse>(a[3]), e3 = a[1] - Rotate<Inverse>(a[3]);
            const Complex o0 = b[0] + b[2], o2 = b[0] - b[2];
            const Complex o1 = b[1] + Rotate<Inverse>(b[3]), o3 = b[1] - Rotate<Inverse>(b[3]);
            // w8^2 = -i and w8^3 = -i w8 (conjugated in the inverse form).
            const Complex y1 = RotateEighth<Inverse>(o1);
            const Complex y2 = Rotate<Inverse>(o2);
            const Complex y3 = Rotate<Inverse>(RotateEighth<Inverse>(o3));
            out[0] = e0 + o0;
            out[4] = e0 - o0;
            out[1] = e1 + y1;
            out[5] = e1 - y1;
            out[2] = e2 + y2;
            out[6] = e2 - y2;
            out[3] = e3 + y3;
            out[7] = e3 - y3;
            return;
        }
    }
}

template <bool Inverse>
PrimitiveStatus Transform(const Complex32f* src, Complex32f* dst, const FftSpec* spec,
                          uint8_t* buffer) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->kind != ComplexSpecKind) return StatusBadSpec;
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    const bool scaled = (Inverse ? spec->inverseScaled : spec->forwardScaled) != 0;
    if (spec->order <= 3) {
        Complex x[8];
        const int length = 1 << spec->order;
        std::memcpy(x, src, static_cast<std::size_t>(length) * sizeof(Complex));
        Complex out[8];
        DirectKernel<Inverse>(x, out, spec->order, scaled, spec->scaleFactor);
        std::memcpy(dst, out, static_cast<std::size_t>(length) * sizeof(Complex));
        return StatusOk;
    }
    internal::WorkArea work;
    if (!internal::AcquireWorkArea(*spec, buffer, &work)) return StatusNoMemory;
    internal::ComplexTransform(*spec, reinterpret_cast<const float*>(src),
                               reinterpret_cast<float*>(dst), spec->order, Inverse, work.data);
    internal::ReleaseWorkArea(work);
    return StatusOk;
}

}  // namespace

PrimitiveStatus spFFTInitAlloc_C_32fc(FftSpec** specOut, int order, int flag, int hint) {
    FftSpec* spec = nullptr;
    const PrimitiveStatus status =
        internal::AllocateSpec(specOut, order, flag, hint, ComplexSpecKind, &spec);
    if (status != StatusOk) return status;
    if (order >= 4) {
        float* sine = internal::BuildFftSineTable(order);
        const bool built =
            sine != nullptr && internal::BuildComplexTables(spec, order, sine, order);
        internal::ReleaseAligned(sine);
        if (!built) {
            internal::ReleaseSpec(spec);
            return StatusNoMemory;
        }
    }
    *specOut = spec;
    return StatusOk;
}

PrimitiveStatus spFFTGetBufSize_C_32fc(const FftSpec* spec, int* sizeOut) {
    if (spec == nullptr || sizeOut == nullptr) return StatusNullPointer;
    if (spec->kind != ComplexSpecKind) return StatusBadSpec;
    *sizeOut = spec->bufferSize;
    return StatusOk;
}

PrimitiveStatus spFFTFwd_CToC_32fc(const Complex32f* src, Complex32f* dst, const FftSpec* spec,
                                   uint8_t* buffer) {
    return Transform<false>(src, dst, spec, buffer);
}

PrimitiveStatus spFFTInv_CToC_32fc(const Complex32f* src, Complex32f* dst, const FftSpec* spec,
                                   uint8_t* buffer) {
    return Transform<true>(src, dst, spec, buffer);
}

PrimitiveStatus spFFTFree_C_32fc(FftSpec* spec) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->kind != ComplexSpecKind) return StatusBadSpec;
    internal::ReleaseSpec(spec);
    return StatusOk;
}

}  // namespace sp::generic

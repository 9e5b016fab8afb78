// Summary of doubles: order-free minimum and maximum, the sum in order with zeros stepped over.
#include "core/intensity_summary.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace warpmender {

// Why zeros may be skipped: the sum starts at +0 and, in round-to-nearest,
// never becomes -0 (x + y is -0 only when both are), so adding +0 or -0 never
// changes it. The minimum and maximum need no order: a lane's minimum is +0
// or a negative value and its maximum +0 or a positive one, NaN never enters
// (it compares false, and MINPD/MAXPD keep the running value then), so
// combining lanes gives what the single running value would.
#if defined(__SSE2__)
namespace {

// The running values of one accumulator while a loop holds them in registers.
struct Lanes {
    __m128d min, max;
    double sum;
};

// Four values: minimum and maximum in lanes, the sum in order unless all four are zero.
inline void take_four(Lanes& l, const double* v) {
    const __m128d a = _mm_loadu_pd(v), b = _mm_loadu_pd(v + 2), zero = _mm_setzero_pd();
    l.min = _mm_min_pd(b, _mm_min_pd(a, l.min));
    l.max = _mm_max_pd(b, _mm_max_pd(a, l.max));
    if (_mm_movemask_pd(_mm_and_pd(_mm_cmpeq_pd(a, zero), _mm_cmpeq_pd(b, zero))) == 3) return;
    l.sum += v[0];
    l.sum += v[1];
    l.sum += v[2];
    l.sum += v[3];
}

}  // namespace
#endif

void IntensityAccumulator::add(const double* v, long n) {
    long i = 0;
#if defined(__SSE2__)
    Lanes l{_mm_loadu_pd(min_), _mm_loadu_pd(max_), sum_};
    for (; i + 4 <= n; i += 4) take_four(l, v + i);
    _mm_storeu_pd(min_, l.min);
    _mm_storeu_pd(max_, l.max);
    sum_ = l.sum;
#endif
    for (; i < n; ++i) {
        if (min_[0] > v[i]) min_[0] = v[i];
        if (v[i] > max_[0]) max_[0] = v[i];
        sum_ += v[i];
    }
}

void IntensityAccumulator::add_pair(IntensityAccumulator& a, const double* va, IntensityAccumulator& b,
                                    const double* vb, long n) {
    long i = 0;
#if defined(__SSE2__)
    Lanes la{_mm_loadu_pd(a.min_), _mm_loadu_pd(a.max_), a.sum_};
    Lanes lb{_mm_loadu_pd(b.min_), _mm_loadu_pd(b.max_), b.sum_};
    for (; i + 4 <= n; i += 4) {
        take_four(la, va + i);
        take_four(lb, vb + i);
    }
    _mm_storeu_pd(a.min_, la.min);
    _mm_storeu_pd(a.max_, la.max);
    a.sum_ = la.sum;
    _mm_storeu_pd(b.min_, lb.min);
    _mm_storeu_pd(b.max_, lb.max);
    b.sum_ = lb.sum;
#endif
    a.add(va + i, n - i);
    b.add(vb + i, n - i);
}

IntensitySummary IntensityAccumulator::result() const {
    IntensitySummary s;
    s.min = min_[0] < min_[1] ? min_[0] : min_[1];
    s.max = max_[0] > max_[1] ? max_[0] : max_[1];
    s.sum = sum_;
    return s;
}

IntensitySummary summarize_intensities(const double* v, long n) {
    IntensityAccumulator a;
    a.add(v, n);
    return a.result();
}

}  // namespace warpmender

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
void IntensityAccumulator::add(const double* v, long n) {
    long i = 0;
    double sum = sum_;
#if defined(__SSE2__)
    __m128d mn = _mm_loadu_pd(min_), mx = _mm_loadu_pd(max_);
    const __m128d zero = _mm_setzero_pd();
    for (; i + 4 <= n; i += 4) {
        const __m128d a = _mm_loadu_pd(v + i), b = _mm_loadu_pd(v + i + 2);
        mn = _mm_min_pd(a, mn);
        mn = _mm_min_pd(b, mn);
        mx = _mm_max_pd(a, mx);
        mx = _mm_max_pd(b, mx);
        if (_mm_movemask_pd(_mm_and_pd(_mm_cmpeq_pd(a, zero), _mm_cmpeq_pd(b, zero))) == 3) continue;
        sum += v[i];
        sum += v[i + 1];
        sum += v[i + 2];
        sum += v[i + 3];
    }
    _mm_storeu_pd(min_, mn);
    _mm_storeu_pd(max_, mx);
#endif
    for (; i < n; ++i) {
        if (min_[0] > v[i]) min_[0] = v[i];
        if (v[i] > max_[0]) max_[0] = v[i];
        sum += v[i];
    }
    sum_ = sum;
}

void IntensityAccumulator::add_pair(IntensityAccumulator& a, const double* va, IntensityAccumulator& b,
                                    const double* vb, long n) {
    long i = 0;
    double sa = a.sum_, sb = b.sum_;
#if defined(__SSE2__)
    __m128d mna = _mm_loadu_pd(a.min_), mxa = _mm_loadu_pd(a.max_);
    __m128d mnb = _mm_loadu_pd(b.min_), mxb = _mm_loadu_pd(b.max_);
    const __m128d zero = _mm_setzero_pd();
    for (; i + 4 <= n; i += 4) {
        const __m128d a0 = _mm_loadu_pd(va + i), a1 = _mm_loadu_pd(va + i + 2);
        const __m128d b0 = _mm_loadu_pd(vb + i), b1 = _mm_loadu_pd(vb + i + 2);
        mna = _mm_min_pd(a1, _mm_min_pd(a0, mna));
        mxa = _mm_max_pd(a1, _mm_max_pd(a0, mxa));
        mnb = _mm_min_pd(b1, _mm_min_pd(b0, mnb));
        mxb = _mm_max_pd(b1, _mm_max_pd(b0, mxb));
        if (_mm_movemask_pd(_mm_and_pd(_mm_cmpeq_pd(a0, zero), _mm_cmpeq_pd(a1, zero))) != 3) {
            sa += va[i];
            sa += va[i + 1];
            sa += va[i + 2];
            sa += va[i + 3];
        }
        if (_mm_movemask_pd(_mm_and_pd(_mm_cmpeq_pd(b0, zero), _mm_cmpeq_pd(b1, zero))) != 3) {
            sb += vb[i];
            sb += vb[i + 1];
            sb += vb[i + 2];
            sb += vb[i + 3];
        }
    }
    _mm_storeu_pd(a.min_, mna);
    _mm_storeu_pd(a.max_, mxa);
    _mm_storeu_pd(b.min_, mnb);
    _mm_storeu_pd(b.max_, mxb);
#endif
    a.sum_ = sa;
    b.sum_ = sb;
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

// Minimum, maximum and sum of doubles, as the volume's summary text reports them.
#pragma once

namespace warpmender {

struct IntensitySummary {
    double min = 0.0, max = 0.0, sum = 0.0;
};

// Takes the values of a buffer in index order, in as many pieces as suits
// the caller (a pass that converts or corrects the buffer can summarise what
// it has just written while it is in the cache), and gives the same bits as
// the plain loop over the whole buffer:
//   if (min > v) min = v;  if (v > max) max = v;  sum += v;
// with min, max and sum starting at 0. The sum keeps its order; only zeros,
// which leave it unchanged, are stepped over four at a time: most of the
// background of a masked or skull-stripped series.
class IntensityAccumulator {
public:
    void add(const double* v, long n);
    // a.add(va, n) and b.add(vb, n) in one loop: the two sums are separate
    // chains of additions, which then run side by side.
    static void add_pair(IntensityAccumulator& a, const double* va, IntensityAccumulator& b, const double* vb, long n);
    IntensitySummary result() const;

private:
    double min_[2] = {0.0, 0.0}, max_[2] = {0.0, 0.0};  // per lane
    double sum_ = 0.0;
};

IntensitySummary summarize_intensities(const double* v, long n);

}  // namespace warpmender

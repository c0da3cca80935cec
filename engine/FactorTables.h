#pragma once

#include <vector>

namespace tralux {

// A compression setting and the loudness ratio (after / before) it is taken to achieve.
class CompressFactor {
public:
    CompressFactor(double factor, double threshold, double ratio)
        : Factor(factor), Threshold(threshold), Ratio(ratio) {}
    double Factor;     // above 1
    double Threshold;  // decibels below full scale (6 dB per doubling): 3, 6, 9, 12 or 15
    double Ratio;      // 1.01 to 10
};

// A reduction and the loudness ratio it achieves.
class ReduceFactor {
public:
    ReduceFactor(double factor, double decibels) : Factor(factor), Decibels(decibels) {}
    double Factor;    // below 1
    double Decibels;  // negative; the gain is 2^(Decibels / 6)
};

struct FactorTables {
    std::vector<CompressFactor> CompressFactors;  // 291 rows, ascending Factor
    std::vector<ReduceFactor> ReduceFactors;      // 95 rows, ascending Factor
};

FactorTables BuildFactorTables();

// The row with the largest Factor strictly below x, or the first row if none is below x.
const CompressFactor& SelectCompressFactor(const std::vector<CompressFactor>& rows, double x);
const ReduceFactor& SelectReduceFactor(const std::vector<ReduceFactor>& rows, double x);

}  // namespace tralux

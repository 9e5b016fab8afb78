// 4x4 matrices: the double position matrix and the single-precision float functions.
#pragma once

#include <string>

namespace warpmender {

// Sixteen doubles, row by row: element [r][c] at m[4*r + c].
struct mat44d {
    double m[16];
};

// Plain float matrices M[row][column] act on column vectors (x, y, z, w);
// all arithmetic is single precision. Results must not alias operands.
void makeIdentityMatrix(float M[4][4]);
void makeScaleMatrix(float M[4][4], float sx, float sy, float sz);
void copyMatrix(const float source[4][4], float target[4][4]);
void transposeMatrix(const float source[4][4], float target[4][4]);
void multiplyMatrixMatrix(const float A[4][4], const float B[4][4], float C[4][4]);
// Exact only for a rotation followed by a translation: [Q | t] -> [Q^T | -Q^T t].
void invertRotationTranslationMatrix(const float M[4][4], float result[4][4]);
void multiplyMatrixVector(const float M[4][4], const float v[4], float out[4]);

class matrixmaster {
public:
    mat44d geteye() const;
    // "<label>: \n" then four tab-led rows of "%f" values, each ending in "\n".
    std::string matrix44ToChar(const float M[4][4], const char* label) const;
};

}  // namespace warpmender

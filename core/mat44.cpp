// 4x4 matrix functions in single precision, and the identity position matrix.
#include "core/mat44.h"

#include <cstdio>

namespace warpmender {

void makeIdentityMatrix(float M[4][4]) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) M[r][c] = r == c ? 1.0f : 0.0f;
}

void makeScaleMatrix(float M[4][4], float sx, float sy, float sz) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) M[r][c] = 0.0f;
    M[0][0] = sx;
    M[1][1] = sy;
    M[2][2] = sz;
    M[3][3] = 1.0f;
}

void copyMatrix(const float source[4][4], float target[4][4]) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) target[r][c] = source[r][c];
}

void transposeMatrix(const float source[4][4], float target[4][4]) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) target[r][c] = source[c][r];
}

void multiplyMatrixMatrix(const float A[4][4], const float B[4][4], float C[4][4]) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            C[r][c] = A[r][0] * B[0][c] + A[r][1] * B[1][c] + A[r][2] * B[2][c] + A[r][3] * B[3][c];
}

void invertRotationTranslationMatrix(const float M[4][4], float result[4][4]) {
    float T[4][4];
    makeIdentityMatrix(T);
    for (int r = 0; r < 3; ++r) T[r][3] = -M[r][3];
    float R[4][4];
    copyMatrix(M, R);
    for (int r = 0; r < 3; ++r) R[r][3] = 0.0f;
    float Rt[4][4];
    transposeMatrix(R, Rt);
    multiplyMatrixMatrix(Rt, T, result);
}

void multiplyMatrixVector(const float M[4][4], const float v[4], float out[4]) {
    for (int r = 0; r < 4; ++r) out[r] = M[r][0] * v[0] + M[r][1] * v[1] + M[r][2] * v[2] + M[r][3] * v[3];
}

mat44d matrixmaster::geteye() const {
    mat44d e{};
    for (int i = 0; i < 4; ++i) e.m[5 * i] = 1.0;
    return e;
}

std::string matrixmaster::matrix44ToChar(const float M[4][4], const char* label) const {
    // Large enough for sixteen %f values of any float (up to 47 characters each).
    char text[1024];
    std::snprintf(text, sizeof text, "%s: \n\t%f\t%f\t%f\t%f\n\t%f\t%f\t%f\t%f\n\t%f\t%f\t%f\t%f\n\t%f\t%f\t%f\t%f\n",
                  label, double(M[0][0]), double(M[0][1]), double(M[0][2]), double(M[0][3]), double(M[1][0]),
                  double(M[1][1]), double(M[1][2]), double(M[1][3]), double(M[2][0]), double(M[2][1]), double(M[2][2]),
                  double(M[2][3]), double(M[3][0]), double(M[3][1]), double(M[3][2]), double(M[3][3]));
    return text;
}

}  // namespace warpmender

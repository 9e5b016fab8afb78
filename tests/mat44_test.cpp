// 4x4 float matrices and their log form.
#include "core/mat44.h"

#include <gtest/gtest.h>

#include <cmath>

namespace warpmender {
namespace {

TEST(Mat44, log_form_of_identity) {
    float I[4][4];
    makeIdentityMatrix(I);
    EXPECT_EQ(matrixmaster().matrix44ToChar(I, "VMR scaling matrix"), "VMR scaling matrix: \n"
                                                                      "\t1.000000\t0.000000\t0.000000\t0.000000\n"
                                                                      "\t0.000000\t1.000000\t0.000000\t0.000000\n"
                                                                      "\t0.000000\t0.000000\t1.000000\t0.000000\n"
                                                                      "\t0.000000\t0.000000\t0.000000\t1.000000\n");
}

TEST(Mat44, rigid_inverse_of_translation_and_rotation) {
    float T[4][4], Ti[4][4];
    makeIdentityMatrix(T);
    T[0][3] = 10;
    T[1][3] = -5;
    T[2][3] = 2;
    invertRotationTranslationMatrix(T, Ti);
    EXPECT_EQ(Ti[0][3], -10.0f);
    EXPECT_EQ(Ti[1][3], 5.0f);
    EXPECT_EQ(Ti[2][3], -2.0f);

    float R[4][4] = {{0, -1, 0, 3}, {1, 0, 0, -7}, {0, 0, 1, 11}, {0, 0, 0, 1}};  // 90 degrees about z
    float Ri[4][4], P[4][4];
    invertRotationTranslationMatrix(R, Ri);
    multiplyMatrixMatrix(R, Ri, P);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(P[r][c], r == c ? 1.0f : 0.0f, 1e-6f);
}

TEST(Mat44, scale_and_products) {
    float S[4][4], I[4][4], C[4][4];
    makeScaleMatrix(S, 2, 3, 4);
    const float v[4] = {1, 1, 1, 1};
    float out[4];
    multiplyMatrixVector(S, v, out);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], 3.0f);
    EXPECT_EQ(out[2], 4.0f);
    EXPECT_EQ(out[3], 1.0f);
    makeIdentityMatrix(I);
    multiplyMatrixMatrix(I, S, C);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(C[r][c], S[r][c]);
    float St[4][4];
    S[0][3] = 9;
    transposeMatrix(S, St);
    EXPECT_EQ(St[3][0], 9.0f);
    EXPECT_EQ(matrixmaster().geteye().m[10], 1.0);
}

}  // namespace
}  // namespace warpmender

// Plain twin of the undistortion: the resampling as the procedure states it, through the container's accessors.
#pragma once

#include <cmath>

#include "core/datahandler.h"

namespace warpmender {
namespace reference {

// Every voxel of every volume from the EPI value at its position moved by the
// shift along the direction's axis; neighbours clamped, weight not.
inline void undistort(datahandler<double>* epi, const datahandler<double>* shift, int code) {
    const long nx = epi->getnx(), ny = epi->getny(), nz = epi->getnz(), nt = epi->getnt();
    datahandler<double> work;
    epi->copyheader(&work);
    work.setnt(1);
    work.setdata(new double[static_cast<size_t>(nx * ny * nz)]());
    for (long t = 0; t < nt; ++t) {
        for (long z = 0; z < nz; ++z)
            for (long y = 0; y < ny; ++y)
                for (long x = 0; x < nx; ++x) {
                    const double s = shift->get(x, y, z);
                    double p = 0;
                    long n = 0;
                    switch (code) {
                        case 1:
                            p = x + s;
                            n = nx;
                            break;
                        case 2:
                            p = x - s;
                            n = nx;
                            break;
                        case 3:
                            p = y + s;
                            n = ny;
                            break;
                        case 4:
                            p = y - s;
                            n = ny;
                            break;
                        case 5:
                            p = z + s;
                            n = nz;
                            break;
                        case 6:
                            p = z - s;
                            n = nz;
                            break;
                    }
                    const double w = p - std::floor(p);
                    long lo = static_cast<long>(std::floor(p));
                    if (lo < 0) lo = 0;
                    if (lo > n - 1) lo = n - 1;
                    long hi = static_cast<long>(std::ceil(p));
                    if (hi > n - 1) hi = n - 1;
                    if (hi < 0) hi = 0;
                    double a = 0, b = 0;
                    if (code <= 2) {
                        a = epi->get(lo, y, z, t);
                        b = epi->get(hi, y, z, t);
                    } else if (code <= 4) {
                        a = epi->get(x, lo, z, t);
                        b = epi->get(x, hi, z, t);
                    } else {
                        a = epi->get(x, y, lo, t);
                        b = epi->get(x, y, hi, t);
                    }
                    work.setvalue(x, y, z, b * w + a * (1 - w));
                }
        work.copyvolume(epi, 0, t);
    }
}

}  // namespace reference
}  // namespace warpmender

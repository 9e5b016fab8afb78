// datahandler<T>: the volume container every step of the plug-in works on.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "core/intensity_summary.h"
#include "core/mat44.h"

namespace warpmender {

constexpr int STATUS_VALID = 89;    // data present and usable
constexpr int STATUS_NODATA = 92;   // nothing could be obtained
constexpr int STATUS_INVALID = 94;  // an operation failed or its result is unusable

constexpr int REPR_NONE = 47;
constexpr int REPR_RECTANGULAR = 48;
constexpr int REPR_POLAR = 49;

using complexdouble = std::complex<double>;  // real part first, as two doubles

template <typename T>
struct is_complex_element : std::false_type {};
template <>
struct is_complex_element<complexdouble> : std::true_type {};

// The summary text of count values: "Values of <label>:" and their maximum,
// minimum, range (|min| + max) and mean.
inline std::string intensity_summary_text(const char* label, const IntensitySummary& s, long count) {
    char text[512];
    std::snprintf(text, sizeof text, "Values of %s:\n\tMaximum: %lf\n\tMinimum: %lf\n\tRange: %lf\n\tMean: %lf", label,
                  s.max, s.min, std::fabs(s.min) + s.max, s.sum / static_cast<double>(count));
    return text;
}

// Element (x, y, z, t) lives at x + nx*(y + ny*(z + nz*t)); x fastest.
// Counts and indices are 64-bit, so a volume may exceed 2^31 - 1 elements.
//
// Ownership: the element buffer (from array new) belongs to the container
// while it holds one; setdata/set release a previously held buffer that is
// being replaced. Name and position matrix are copies the container owns.
template <typename T>
class datahandler {
public:
    datahandler() = default;
    datahandler(T* data, long nx, long ny, long nz, long nt, unsigned long bytesperelem)
        : nx_(nx), ny_(ny), nz_(nz), nt_(nt), nrofelems_(nx * ny * nz * nt), bytesperelem_(bytesperelem), data_(data),
          isempty_(data == nullptr) {}
    datahandler(T* data, long nx, long ny, long nz, unsigned long bytesperelem)
        : datahandler(data, nx, ny, nz, 1, bytesperelem) {}
    datahandler(long nx, long ny, long nz, long nt, unsigned long bytesperelem)
        : nx_(nx), ny_(ny), nz_(nz), nt_(nt), nrofelems_(nx * ny * nz * nt), bytesperelem_(bytesperelem) {}
    datahandler(long nx, long ny, long nz, unsigned long bytesperelem) : datahandler(nx, ny, nz, 1, bytesperelem) {}
    datahandler(const datahandler&) = delete;
    datahandler& operator=(const datahandler&) = delete;
    virtual ~datahandler() { release(); }

    // --- shape, header and buffer -------------------------------------------------
    void set(long nx, long ny, long nz, long nt, T* data, const char* name, unsigned long bytesperelem) {
        nx_ = nx;
        ny_ = ny;
        nz_ = nz;
        nt_ = nt;
        recount();
        setdata(data);
        setname(name);
        bytesperelem_ = bytesperelem;
    }
    void set(long nx, long ny, long nz, T* data, const char* name, unsigned long bytesperelem) {
        set(nx, ny, nz, 1, data, name, bytesperelem);
    }
    void set(long nx, long ny, long nz, T* data, const char* name) { set(nx, ny, nz, 1, data, name, bytesperelem_); }
    void set(long nx, long ny, long nz, T* data) {
        nx_ = nx;
        ny_ = ny;
        nz_ = nz;
        nt_ = 1;
        recount();
        setdata(data);
    }
    void setdata(T* data) {
        if (data != data_) release();
        data_ = data;
        isempty_ = data == nullptr;
    }
    // Gives up the buffer without releasing it; the caller owns it afterwards.
    T* takedata() {
        T* d = data_;
        data_ = nullptr;
        isempty_ = true;
        return d;
    }
    void setname(const char* name) { name_ = name ? name : ""; }
    void setnx(long n) {
        nx_ = n;
        recount();
    }
    void setny(long n) {
        ny_ = n;
        recount();
    }
    void setnz(long n) {
        nz_ = n;
        recount();
    }
    void setnt(long n) {
        nt_ = n;
        recount();
    }
    void setresolution(float dx, float dy, float dz) { setresolution(dx, dy, dz, 0.0f); }
    void setresolution(float dx, float dy, float dz, float dt) {
        dx_ = dx;
        dy_ = dy;
        dz_ = dz;
        dt_ = dt;
    }
    void setstatus(int s) { status_ = s; }
    int getstatus() const { return status_; }
    void setposition(int code, float m00, float m01, float m02, float m03, float m10, float m11, float m12, float m13,
                     float m20, float m21, float m22, float m23) {
        const float v[12] = {m00, m01, m02, m03, m10, m11, m12, m13, m20, m21, m22, m23};
        for (int i = 0; i < 12; ++i) position_.m[i] = v[i];
        position_.m[12] = 0.0;
        position_.m[13] = 0.0;
        position_.m[14] = 0.0;
        position_.m[15] = 1.0;
        positioncode_ = code;
        positionset_ = true;
    }
    void setcomplexrepresentation(int code) { complexrepresentation_ = code; }
    int getcomplexrepresentation() const { return complexrepresentation_; }

    long getnx() const { return nx_; }
    long getny() const { return ny_; }
    long getnz() const { return nz_; }
    long getnt() const { return nt_; }
    long getnrofelems() const { return nrofelems_; }
    long getvoxelspervolume() const { return nx_ * ny_ * nz_; }
    unsigned long getbytesperelem() const { return bytesperelem_; }
    float getdx() const { return dx_; }
    float getdy() const { return dy_; }
    float getdz() const { return dz_; }
    float getdt() const { return dt_; }
    const char* getname() const { return name_.c_str(); }
    T* getdata() const { return data_; }
    bool hasdata() const { return !isempty_; }
    bool hasposition() const { return positionset_; }
    int getpositioncode() const { return positioncode_; }
    // The held matrix, or the identity when none is held (returned by value so
    // that no caller has to guess who owns it).
    mat44d getposition() const { return positionset_ ? position_ : matrixmaster().geteye(); }

    // --- element access (no bounds checks: callers stay inside the shape) --------
    T get(long i) const { return data_[i]; }
    void setvalue(long i, T v) { data_[i] = v; }
    T get(long x, long y, long z) const { return data_[index(x, y, z, 0)]; }
    void setvalue(long x, long y, long z, T v) { data_[index(x, y, z, 0)] = v; }
    void add(long x, long y, long z, T v) { data_[index(x, y, z, 0)] += v; }
    T get(long x, long y, long z, long t) const { return data_[index(x, y, z, t)]; }
    void setvalue(long x, long y, long z, long t, T v) { data_[index(x, y, z, t)] = v; }
    void set(long x, long y, long z, long t, T v) { data_[index(x, y, z, t)] = v; }
    void add(long x, long y, long z, long t, T v) { data_[index(x, y, z, t)] += v; }
    long index(long x, long y, long z, long t) const { return x + nx_ * (y + ny_ * (z + nz_ * t)); }

    // --- block copies ----------------------------------------------------------
    void getvol(long t, T* out) const {
        const long n = getvoxelspervolume();
        std::memcpy(out, data_ + t * n, sizeof(T) * static_cast<size_t>(n));
    }
    void setvol(long t, const T* in) {
        const long n = getvoxelspervolume();
        std::memcpy(data_ + t * n, in, sizeof(T) * static_cast<size_t>(n));
    }
    void getslice(long z, T* out) const {
        const long n = nx_ * ny_;
        std::memcpy(out, data_ + z * n, sizeof(T) * static_cast<size_t>(n));
    }
    bool copyvolume(datahandler* target, long srcvol, long dstvol) const {
        if (target->nx_ != nx_ || target->ny_ != ny_ || target->nz_ != nz_) return false;
        const long n = getvoxelspervolume();
        std::memcpy(target->data_ + dstvol * n, data_ + srcvol * n, sizeof(T) * static_cast<size_t>(n));
        return true;
    }
    // Copies shape, resolution, position and name; the target's status becomes
    // valid. Its buffer is left alone. An empty name becomes "none".
    template <typename U>
    void copyheader(datahandler<U>* target) const {
        target->nx_ = nx_;
        target->ny_ = ny_;
        target->nz_ = nz_;
        target->nt_ = nt_;
        target->nrofelems_ = nrofelems_;
        target->bytesperelem_ = bytesperelem_;
        target->dx_ = dx_;
        target->dy_ = dy_;
        target->dz_ = dz_;
        target->dt_ = dt_;
        if (positionset_) {
            target->position_ = position_;
            target->positioncode_ = positioncode_;
            target->positionset_ = true;
        }
        target->name_ = name_.empty() ? std::string("none") : name_;
        target->status_ = STATUS_VALID;
    }

    // --- element-type conversions ------------------------------------------------
    double* cast2double() const {
        static_assert(!is_complex_element<T>::value, "no real form of complex data");
        double* out = new double[static_cast<size_t>(nrofelems_)];
        for (long i = 0; i < nrofelems_; ++i) out[i] = static_cast<double>(data_[i]);
        return out;
    }
    float* cast2float() const {
        static_assert(!is_complex_element<T>::value, "no real form of complex data");
        float* out = new float[static_cast<size_t>(nrofelems_)]();
        if (data_ == nullptr) return out;
        for (long i = 0; i < nrofelems_; ++i) out[i] = static_cast<float>(data_[i]);
        return out;
    }
    // 16-bit forms: truncation toward zero through a 32-bit integer, low 16 bits kept.
    bool castfloat2native(const float* in) {
        static_assert(sizeof(T) == 2 && std::is_integral<T>::value, "16-bit forms only");
        if (in == nullptr) return false;
        for (long i = 0; i < nrofelems_; ++i) data_[i] = static_cast<T>(static_cast<int32_t>(in[i]));
        return true;
    }
    bool castdouble2native(const double* in) {
        static_assert(sizeof(T) == 2 && std::is_integral<T>::value, "16-bit forms only");
        if (in == nullptr) return false;
        for (long i = 0; i < nrofelems_; ++i) data_[i] = static_cast<T>(static_cast<int32_t>(in[i]));
        return true;
    }
    T* castfloat2native(const float* in, float newmin, float newmax) {
        static_assert(std::is_same<T, uint16_t>::value, "unsigned 16-bit form only");
        if (in == nullptr) return data_;
        std::vector<float> scaled = scaleintensities_nijdam(in, nrofelems_, newmin, newmax);
        for (long i = 0; i < nrofelems_; ++i) data_[i] = static_cast<T>(static_cast<int32_t>(scaled[i]));
        return data_;
    }
    // Signed 16-bit form: mode 5 reads the buffer time-interleaved (t fastest)
    // and writes element k of volume v to outs[v][k].
    void split(short** outs, short mode) const {
        static_assert(std::is_same<T, short>::value, "signed 16-bit form only");
        if (mode != 5) return;
        const long n = getvoxelspervolume();
        for (long k = 0; k < n; ++k)
            for (long v = 0; v < nt_; ++v) outs[v][k] = data_[k * nt_ + v];
    }
    bool rectangular2polar() {
        static_assert(is_complex_element<T>::value, "complex form only");
        if (complexrepresentation_ == REPR_NONE) return false;
        if (complexrepresentation_ != REPR_RECTANGULAR) return true;
        for (long i = 0; i < nrofelems_; ++i) {
            const double re = data_[i].real(), im = data_[i].imag();
            data_[i] = T(static_cast<int32_t>(std::hypot(re, im)), static_cast<int32_t>(std::atan2(im, re)));
        }
        return true;
    }
    bool polar2rectangular() {
        static_assert(is_complex_element<T>::value, "complex form only");
        if (complexrepresentation_ == REPR_NONE) return false;
        if (complexrepresentation_ != REPR_POLAR) return true;
        for (long i = 0; i < nrofelems_; ++i) {
            const double m = data_[i].real(), p = data_[i].imag();
            data_[i] = T(static_cast<int32_t>(m * std::cos(p)), static_cast<int32_t>(m * std::sin(p)));
        }
        return true;
    }

    // --- statistics: every minimum and maximum starts from 0 ----------------------
    float getmin() const {
        float mn = 0.0f;
        for (long i = 0; i < nrofelems_; ++i) {
            const float v = static_cast<float>(data_[i]);
            if (mn > v) mn = v;
        }
        return mn;
    }
    float getmax() const {
        float mx = 0.0f;
        for (long i = 0; i < nrofelems_; ++i) {
            const float v = static_cast<float>(data_[i]);
            if (v > mx) mx = v;
        }
        return mx;
    }
    float getrange() const {
        double mn = 0.0, mx = 0.0;
        minmax(data_, nrofelems_, mn, mx);
        return static_cast<float>(std::fabs(mn) + mx);
    }
    float getmean() const {
        float sum = 0.0f;
        for (long i = 0; i < nrofelems_; ++i)
            sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(data_[i]));
        return sum / static_cast<float>(nrofelems_);
    }
    double getmean_d() const {
        double sum = 0.0;
        for (long i = 0; i < nrofelems_; ++i) sum += static_cast<double>(data_[i]);
        return sum / static_cast<double>(nrofelems_);
    }
    // "Values of <label>:" with maximum, minimum, range and mean, one per line.
    std::string displayintensityvalues(const char* label = "data") const {
        IntensitySummary s;
        if constexpr (std::is_same<T, double>::value) {
            s = summarize_intensities(data_, nrofelems_);
        } else {
            for (long i = 0; i < nrofelems_; ++i) {
                const double v = static_cast<double>(data_[i]);
                if (s.min > v) s.min = v;
                if (v > s.max) s.max = v;
                s.sum += v;
            }
        }
        return intensity_summary_text(label, s, nrofelems_);
    }

    // --- Nijdam rescaling ------------------------------------------------------------
    // In place: min(0, data) -> newmin, max(0, data) -> newmin + |newmin| + newmax.
    // An all-zero buffer has no range and is left unchanged.
    template <typename E>
    static void scaleintensities_nijdam(E* buf, long n, double newmin, double newmax) {
        double mn = 0.0, mx = 0.0;
        minmax(buf, n, mn, mx);
        const double range = std::fabs(mn) + mx;
        if (range == 0.0) return;
        const double newrange = std::fabs(newmin) + newmax;
        const double scale = newrange / range;
        const double offset = newmin - scale * mn;
        for (long i = 0; i < n; ++i) buf[i] = static_cast<E>(static_cast<double>(buf[i]) * scale + offset);
    }
    // Unsigned 16-bit form: the same in single precision into a new array.
    static std::vector<float> scaleintensities_nijdam(const float* in, long n, float newmin, float newmax) {
        std::vector<float> out(static_cast<size_t>(n), 0.0f);
        float mn = 0.0f, mx = 0.0f;
        for (long i = 0; i < n; ++i) {
            if (mn > in[i]) mn = in[i];
            if (in[i] > mx) mx = in[i];
        }
        const float range = std::fabs(mn) + mx;
        if (range == 0.0f) {
            for (long i = 0; i < n; ++i) out[i] = in[i];
            return out;
        }
        const float scale = (std::fabs(newmin) + newmax) / range;
        const float offset = newmin - scale * mn;
        for (long i = 0; i < n; ++i) out[i] = in[i] * scale + offset;
        return out;
    }
    // Copying form: the container's buffer rescaled into out. The 1e-12 widens
    // the target range (numerator), as stored projects have always had it.
    template <typename E>
    bool scaleintensities_nijdam2(E* out, double newmin, double newmax) const {
        if (!hasdata()) return false;
        double mn = 0.0, mx = 0.0;
        minmax(data_, nrofelems_, mn, mx);
        const double range = std::fabs(mn) + mx;
        if (range == 0.0) {
            for (long i = 0; i < nrofelems_; ++i) out[i] = static_cast<E>(data_[i]);
            return true;
        }
        const double scale = (std::fabs(newmin) + newmax + 1e-12) / range;
        const double offset = newmin - scale * mn;
        for (long i = 0; i < nrofelems_; ++i) out[i] = static_cast<E>(static_cast<double>(data_[i]) * scale + offset);
        return true;
    }

private:
    template <typename U>
    friend class datahandler;

    template <typename E>
    static void minmax(const E* buf, long n, double& mn, double& mx) {
        for (long i = 0; i < n; ++i) {
            const double v = static_cast<double>(buf[i]);
            if (mn > v) mn = v;
            if (v > mx) mx = v;
        }
    }
    void recount() { nrofelems_ = nx_ * ny_ * nz_ * nt_; }
    void release() {
        if (!isempty_ && data_ != nullptr) delete[] data_;
        data_ = nullptr;
        isempty_ = true;
    }

    long nx_ = 0, ny_ = 0, nz_ = 0, nt_ = 0;
    long nrofelems_ = 0;
    unsigned long bytesperelem_ = 2;
    float dx_ = 0.0f, dy_ = 0.0f, dz_ = 0.0f, dt_ = 0.0f;
    bool positionset_ = false;
    int positioncode_ = 0;
    mat44d position_{};
    std::string name_;
    T* data_ = nullptr;
    bool isempty_ = true;
    int complexrepresentation_ = 1;
    int status_ = 0;
};

}  // namespace warpmender
